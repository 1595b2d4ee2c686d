#pragma once
// The request trace: one text line per extension-unit request, in the format every tool writes.

#include <cstddef>
#include <cstdint>

namespace sim {

enum class RequestKind { set, get, support };

// Longest line FormatTraceLine writes (records longer than this many bytes are cut).
inline constexpr std::size_t TraceMaxBytes = 64;
inline constexpr std::size_t TraceLineCapacity = 32 + 3 * TraceMaxBytes + 8;

// Writes "SET <selector> <node> <bytes>", "GET <selector> <node> <bytes>" or "SUPPORT <node>",
// then " FAIL" when the request failed, then a newline, into `line` (at least
// TraceLineCapacity characters). Bytes are two upper-case hex digits separated by single spaces;
// numbers are decimal. Returns the length written, newline included.
std::size_t FormatTraceLine(char* line, RequestKind kind, std::uint32_t selector,
                            std::uint32_t node, const std::uint8_t* bytes, std::size_t count,
                            bool failed);

}  // namespace sim
