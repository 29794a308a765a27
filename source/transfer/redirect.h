// Following redirects: where a redirect's Location leads, and the chain of
// redirects of one request with its limits. Pure, apart from the chain's own
// state.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "transfer/url_and_connection.h"
#include "vocabulary/error_codes.h"

// The URL a Location value names, read against `base`, the URL that answered
// with it: an absolute "http://" or "https://" URL; "//host/path", which keeps
// the base's scheme; an absolute path "/path", which keeps its scheme, host
// and port; "?query", which replaces only the query; or a relative path, read
// against the base path's last folder. A path's "." and ".." segments are
// resolved, a query is kept as given, a fragment ("#...") is dropped, as it
// never goes to a server. Nothing when the value is empty, names another
// scheme, or gives a URL ParseUrl does not take.
std::optional<Url> ResolveLocation(const Url& base, std::string_view location);

// The redirects of one request, from the URL first asked for.
class RedirectChain {
  public:
    // The most redirects one request follows by default; the next one
    // fails it.
    static constexpr int kMostRedirects = 5;

    explicit RedirectChain(const Url& start, int mostRedirects = kMostRedirects);

    // Decides on a redirect answer (its whole header) from the URL the chain
    // last reached. Returns kOk with `next` set to the URL to fetch, or:
    //   kRedirectRefused  the header has no Location that resolves, or it
    //       leads from "https://" to "http://": what was asked for under TLS
    //       never travels in the clear, nor does its answer
    //   kTooManyRedirects  the Location leads to a URL this chain has already
    //       fetched (a loop, which would never end), or the chain has already
    //       followed its most redirects
    ErrorCode Follow(std::string_view header, Url& next);

  private:
    Url current_;
    std::size_t mostRedirects_;
    std::vector<std::string> visited_;  // each URL fetched, as FormatUrl gives it
};
