#include "transfer/http_header.h"

#include <cctype>
#include <limits>
#include <optional>

#include "transfer/decimal_scan.h"

int GetContentLength(std::string_view header) {
    constexpr std::string_view kName = "Content-Length:";
    const std::size_t found = header.find(kName);
    if (found == std::string_view::npos)
        return kUnknownContentLength;
    const std::optional<std::int64_t> length =
        ScanDecimal(header.substr(found + kName.size()), std::numeric_limits<int>::max());
    if (!length || *length < 0)
        return kUnknownContentLength;
    return static_cast<int>(*length);
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

bool IsRedirectStatus(std::string_view header) {
    const std::string_view statusLine = header.substr(0, header.find('\n'));
    if (!statusLine.starts_with("HTTP/"))
        return false;
    const std::size_t space = statusLine.find(' ');
    if (space == std::string_view::npos)
        return false;
    const std::string_view rest = statusLine.substr(space + 1);
    if (rest.size() > 3 && rest[3] != ' ' && rest[3] != '\r')
        return false;
    const std::string_view status = rest.substr(0, 3);
    for (const std::string_view redirect : {"301", "302", "303", "307", "308"}) {
        if (status == redirect)
            return true;
    }
    return false;
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
