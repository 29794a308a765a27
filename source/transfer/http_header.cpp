#include "transfer/http_header.h"

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
