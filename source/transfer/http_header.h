// Reading the two facts the exchange needs from a response header: the
// announced body length and whether the status is "200 OK". Pure functions.
#pragma once

#include <string_view>

// What GetContentLength gives when the header announces no usable length.
inline constexpr int kUnknownContentLength = -1;

// The value after the first "Content-Length:" (exact case) in the header: any
// white space, an optional sign, decimal digits. A missing header line, no
// digits, a negative value or one too large for an int all count as unknown
// (kUnknownContentLength): no server means those, and treating them as a
// length would make progress and completeness checks lie.
int GetContentLength(std::string_view header);

// True when "200 OK" (exact case) starts at or before the first line feed,
// that is, in the status line; anywhere when the header has no line feed.
bool IsStatusOk(std::string_view header);
