#pragma once
// The station's live page: its markup, style and script in one text, served by the station
// itself, so that it needs no network beyond the station.

namespace station {

extern const char* const kWebPage;

}  // namespace station
