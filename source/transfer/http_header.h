// Reading the facts the exchange needs from a response header: the announced
// body length, whether the status is "200 OK", and for a redirect its status
// and its Location. Pure functions.
#pragma once

#include <optional>
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

// True when the status line ("HTTP/" up to its first space, then three
// digits and a space or the line's end) gives 301, 302, 303, 307 or 308: the
// answers that name in their Location where the resource is to be fetched,
// with the same GET.
bool IsRedirectStatus(std::string_view header);

// The value of the first header line (after the status line) named `name`,
// compared in any case as field names are, with the white space around the
// value taken off; nothing when no line has that name.
std::optional<std::string_view> FindHeaderField(std::string_view header, std::string_view name);
