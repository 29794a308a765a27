// Reading the facts the exchange needs from a response header: the announced
// body length, the status, the range a partial answer holds, and for a
// redirect its Location. Pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// What GetContentLength gives when the header announces no usable length.
inline constexpr std::int64_t kUnknownContentLength = -1;

// The largest length taken from a header: far beyond any package, and small
// enough that offsets and sums of lengths never overflow.
inline constexpr std::int64_t kLargestContentLength = std::int64_t{1} << 50;

// The value after the first "Content-Length:" (exact case) in the header: any
// white space, an optional sign, decimal digits. A missing header line, no
// digits, a negative value or one above kLargestContentLength all count as
// unknown (kUnknownContentLength): no server means those, and treating them
// as a length would make progress and completeness checks lie.
std::int64_t GetContentLength(std::string_view header);

// The three-digit code of the status line ("HTTP/" up to its first space,
// then three digits and a space or the line's end); nothing when the line has
// no such code.
std::optional<int> StatusCode(std::string_view header);

// A "Content-Range:" value, "bytes FIRST-LAST/TOTAL" in a partial answer or
// "bytes */TOTAL" in one that refuses the range asked for. A part given as
// "*" is -1.
struct ContentRange {
    std::int64_t first = -1;
    std::int64_t last = -1;
    std::int64_t total = -1;
};

// The first "Content-Range:" line (any case), when its value has one of the
// two forms exactly (white space around it aside), FIRST <= LAST, and
// LAST < TOTAL where both are given; nothing otherwise.
std::optional<ContentRange> GetContentRange(std::string_view header);

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
