#pragma once
// The factory database's tables, made and brought up to date by numbered migrations: each runs
// once, in its own transaction, under a lock that lets one station or command migrate at a time.

#include <optional>
#include <string>

#include "station/db/pg.h"

namespace station::db {

// The schema this program writes and reads.
inline constexpr int kSchemaVersion = 2;

// The version the database is at: 0 before the first migration; nothing, with `error`, when it
// cannot be read.
std::optional<int> SchemaVersion(Connection& connection, DbError& error);
// Applies the migrations the database lacks; `grantTo` non-empty: that role may then read the
// tables and add rows to them, and nothing else. The version reached, or nothing with `error`.
std::optional<int> Migrate(Connection& connection, const std::string& grantTo, DbError& error);

}  // namespace station::db
