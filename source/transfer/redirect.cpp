#include "transfer/redirect.h"

#include <algorithm>
#include <cctype>

#include "transfer/http_header.h"

namespace {

// A scheme is letters, digits, "+", "-" and "." before a ":" that comes
// before any "/", "?" or "#"; a relative path cannot start with one.
bool HasScheme(std::string_view location) {
    const std::size_t colon = location.find(':');
    if (colon == std::string_view::npos || colon == 0)
        return false;
    if (location.find_first_of("/?#") < colon)
        return false;
    return std::all_of(location.begin(), location.begin() + static_cast<std::ptrdiff_t>(colon),
                       [](char c) {
                           return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '+' ||
                                  c == '-' || c == '.';
                       });
}

// "." and ".." segments of an absolute path taken out, as a browser would
// before it asks: "/a/b/../c" is "/a/c". ".." never climbs above the root.
std::string RemoveDotSegments(std::string_view path) {
    std::vector<std::string_view> kept;
    std::size_t start = 1;
    for (;;) {
        const std::size_t end = path.find('/', start);
        const bool last = end == std::string_view::npos;
        const std::string_view segment = path.substr(start, last ? end : end - start);
        if (segment == "..") {
            if (!kept.empty())
                kept.pop_back();
        }
        if (segment != "." && segment != "..")
            kept.push_back(segment);
        else if (last)
            kept.push_back({});  // "/a/.." names the folder: "/"
        if (last)
            break;
        start = end + 1;
    }
    std::string result;
    for (const std::string_view segment : kept) {
        result += '/';
        result += segment;
    }
    return result;
}

// An absolute path with its query: dot segments resolved in the path only.
std::string NormalizedPath(std::string_view pathAndQuery) {
    const std::size_t query = pathAndQuery.find('?');
    std::string path = RemoveDotSegments(pathAndQuery.substr(0, query));
    if (query != std::string_view::npos)
        path += pathAndQuery.substr(query);
    return path;
}

// The base path up to and including its last "/" (the query left out).
std::string_view FolderOf(std::string_view basePath) {
    const std::string_view path = basePath.substr(0, basePath.find('?'));
    return path.substr(0, path.rfind('/') + 1);
}

std::string PathFor(const Url& base, std::string_view reference) {
    if (reference.starts_with('/'))
        return NormalizedPath(reference);
    if (reference.starts_with('?'))
        return std::string(base.path.substr(0, base.path.find('?'))) + std::string(reference);
    return NormalizedPath(std::string(FolderOf(base.path)) + std::string(reference));
}

}  // namespace

std::optional<Url> ResolveLocation(const Url& base, std::string_view location) {
    location = location.substr(0, location.find('#'));
    if (location.empty())
        return std::nullopt;
    const std::string scheme = base.secure ? "https:" : "http:";
    if (HasScheme(location))
        return ParseUrl(std::string(location));
    if (location.starts_with("//"))
        return ParseUrl(scheme + std::string(location));
    Url resolved = base;
    resolved.path = PathFor(base, location);
    // Through ParseUrl, so the result keeps the limits of every URL fetched.
    return ParseUrl(FormatUrl(resolved));
}

RedirectChain::RedirectChain(const Url& start, int mostRedirects)
    : current_(start),
      mostRedirects_(static_cast<std::size_t>(std::max(mostRedirects, 0))),
      visited_{FormatUrl(start)} {}

ErrorCode RedirectChain::Follow(std::string_view header, Url& next) {
    const std::optional<std::string_view> location = FindHeaderField(header, "Location");
    const std::optional<Url> target =
        location ? ResolveLocation(current_, *location) : std::nullopt;
    if (!target || (current_.secure && !target->secure))
        return kRedirectRefused;
    std::string text = FormatUrl(*target);
    if (visited_.size() > mostRedirects_ ||
        std::find(visited_.begin(), visited_.end(), text) != visited_.end()) {
        return kTooManyRedirects;
    }
    visited_.push_back(std::move(text));
    current_ = *target;
    next = *target;
    return kOk;
}
