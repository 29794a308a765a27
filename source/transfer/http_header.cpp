#include "transfer/http_header.h"

#include <cctype>
#include <optional>

#include "transfer/decimal_scan.h"

std::int64_t GetContentLength(std::string_view header) {
    constexpr std::string_view kName = "Content-Length:";
    const std::size_t found = header.find(kName);
    if (found == std::string_view::npos)
        return kUnknownContentLength;
    const std::optional<std::int64_t> length =
        ScanDecimal(header.substr(found + kName.size()), kLargestContentLength);
    if (!length || *length < 0)
        return kUnknownContentLength;
    return *length;
}

bool IsStatusOk(std::string_view header) {
    const std::size_t status = header.find("200 OK");
    if (status == std::string_view::npos)
        return false;
    const std::size_t lineEnd = header.find('\n');
    return lineEnd == std::string_view::npos || status <= lineEnd;
}

namespace {

constexpr std::string_view kLineSpace = " \t\r";

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

std::string_view Trimmed(std::string_view text) {
    const std::size_t first = text.find_first_not_of(kLineSpace);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(kLineSpace) - first + 1);
}

}  // namespace

std::optional<int> StatusCode(std::string_view header) {
    const std::string_view statusLine = header.substr(0, header.find('\n'));
    if (!statusLine.starts_with("HTTP/"))
        return std::nullopt;
    const std::size_t space = statusLine.find(' ');
    if (space == std::string_view::npos)
        return std::nullopt;
    const std::string_view rest = statusLine.substr(space + 1);
    if (rest.size() < 3 || (rest.size() > 3 && rest[3] != ' ' && rest[3] != '\r'))
        return std::nullopt;
    int code = 0;
    for (const char digit : rest.substr(0, 3)) {
        if (digit < '0' || digit > '9')
            return std::nullopt;
        code = code * 10 + (digit - '0');
    }
    return code;
}

bool IsRedirectStatus(std::string_view header) {
    const std::optional<int> code = StatusCode(header);
    return code == 301 || code == 302 || code == 303 || code == 307 || code == 308;
}

namespace {

// Digits only, all of the text: a range is exact or not taken at all.
std::optional<std::int64_t> WholeNumber(std::string_view text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    return ScanDecimal(text, kLargestContentLength);
}

// A range part: a whole number, or "*" for one left open (-1).
std::optional<std::int64_t> RangePart(std::string_view text) {
    if (text == "*")
        return -1;
    return WholeNumber(text);
}

}  // namespace

std::optional<ContentRange> GetContentRange(std::string_view header) {
    const std::optional<std::string_view> field = FindHeaderField(header, "Content-Range");
    if (!field || !field->starts_with("bytes "))
        return std::nullopt;
    const std::string_view value = Trimmed(field->substr(6));
    const std::size_t slash = value.find('/');
    if (slash == std::string_view::npos)
        return std::nullopt;
    const std::string_view span = value.substr(0, slash);
    ContentRange range;
    const std::optional<std::int64_t> total = RangePart(value.substr(slash + 1));
    if (!total)
        return std::nullopt;
    range.total = *total;
    if (span == "*")
        return range.total >= 0 ? std::optional(range) : std::nullopt;
    const std::size_t dash = span.find('-');
    if (dash == std::string_view::npos)
        return std::nullopt;
    const std::optional<std::int64_t> first = WholeNumber(span.substr(0, dash));
    const std::optional<std::int64_t> last = WholeNumber(span.substr(dash + 1));
    if (!first || !last || *first > *last || (range.total >= 0 && *last >= range.total))
        return std::nullopt;
    range.first = *first;
    range.last = *last;
    return range;
}

std::optional<std::string_view> FindHeaderField(std::string_view header, std::string_view name) {
    std::size_t lineStart = header.find('\n');
    while (lineStart != std::string_view::npos) {
        ++lineStart;
        const std::size_t lineEnd = header.find('\n', lineStart);
        const std::string_view line = header.substr(lineStart, lineEnd - lineStart);
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos && EqualIgnoringCase(line.substr(0, colon), name))
            return Trimmed(line.substr(colon + 1));
        lineStart = lineEnd;
    }
    return std::nullopt;
}
