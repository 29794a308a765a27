// The updater's own HTTP/1.1 client: one GET per connection, over plain TCP
// or TLS.
//
// HttpGet sends one fixed request ("Connection: Close"), reads the header
// byte by byte, accepts only a "200 OK" status line (or, for a request that
// resumes a body, the "206" that continues it) and hands the body on until
// the server closes the connection. While the body arrives it reports
// percentages, polls CancelRequested(), limits how often the connection may stay
// silent and charges the time spent waiting for data to the caller's budget.
// An "https://" URL gets the same exchange inside TLS (see tls_channel.h for
// what is trusted). Redirects (301, 302, 303, 307, 308) are followed with the
// same request, up to five, never from "https://" to "http://". No chunked
// or content decoding (a body is stored exactly as received, though package
// requests offer gzip). Each URL's exchange goes through the HTTP proxy
// ChooseProxy picks for it (proxy_choice.h), if any: a plain request in
// absolute form, an "https://" one through a CONNECT tunnel, with TLS end to
// end and the certificate checked for the URL's host.
//
// Worker thread only, one exchange at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/platform.h"
#include "transfer/http_header.h"
#include "transfer/proxy_choice.h"
#include "vocabulary/error_codes.h"
#include "vocabulary/status_word.h"

// The fixed waits and the memory caps of one exchange. The defaults are the
// product's values; tests pass shorter waits and smaller caps.
struct HttpLimits {
    platform::TimeVal connectTimeout{2, 0};
    // Every readiness wait for header or body bytes gets this much.
    platform::TimeVal readinessWait{4, 0};
    // Waits that end without data, counted in the header (with a TLS
    // handshake before it) and, afresh, in the body; the one that reaches
    // this number in either ends the exchange with kSilenceLimit, so each may
    // stay silent for about 20 seconds.
    int idleWaitLimit = 5;
    // A header that has not ended after this many bytes gives kResponseTooLarge.
    std::size_t headerCap = 64 * 1024;
    // A body not bounded by a package's announced length (the patch list, or
    // a package whose length is unknown) that grows past this gives
    // kResponseTooLarge.
    std::size_t bodyCap = 16 * 1024 * 1024;
    // Redirects one request follows; the next one gives kTooManyRedirects.
    int mostRedirects = 5;
};

// What a request asks for.
enum class BodyKind {
    kPatchList,  // a text whose length must match its announcement
    kPackage,    // offered gzip in the request; judged whole by the caller
};

// Where an exchange went, for diagnostics; nothing secret.
struct ConnectionRoute {
    std::string target;   // the URL's "host:port"
    std::string address;  // the address connected to, "[::1]:8080"; empty without a connection
    // The proxy as ProxyRoute::shown gives it; empty for a direct connection.
    std::string proxy;
    bool operator==(const ConnectionRoute&) const = default;
};

// Sees where each exchange of a request went (a redirect makes two).
using RouteObserver = std::function<void(const ConnectionRoute& route)>;

// Sees each piece of a body that is kept, in order, as it arrives.
using BodyObserver = std::function<void(const char* data, std::size_t size)>;

struct HttpRequest {
    std::string url;  // "http://host[:port]/path" or "https://host[:port]/path"
    BodyKind body = BodyKind::kPatchList;
    // The time the exchange may spend waiting for data, charged as it waits.
    platform::TimeVal budget{0, 0};
    HttpLimits limits{};
    // Receives the body's percentages; may be empty.
    StatusCallback progress{};
    // Sees the body as it is kept (a package's digest is taken this way);
    // may be empty.
    BodyObserver observeBody{};
    // Above 0: the first this many bytes of the resource are at hand already,
    // and the request asks for the rest ("Range: bytes=N-"). The server may
    // continue there (206) or send the whole resource again (200).
    std::int64_t resumeFrom = 0;
    // With resumeFrom, sent as "If-Range:" when not empty: the validator the
    // bytes at hand came with (BodyStart::validator), so a server whose
    // resource has changed since sends it whole instead of splicing.
    std::string ifRange{};
    // The proxy settings to choose from; nothing for this process's own
    // (CurrentProxySettings, read once per request).
    std::optional<ProxySettings> proxies{};
    // Told where each exchange went, once its connection was tried; may be
    // empty.
    RouteObserver observeRoute{};
};

// What an answer says of the body about to come.
struct BodyStart {
    std::int64_t offset = 0;                      // where in the resource the body starts
    std::int64_t length = kUnknownContentLength;  // the body's announced length
    // What names this version of the resource, for a later "If-Range:": a
    // strong "ETag:" value, else the "Last-Modified:" date, else empty.
    std::string validator;
};

// Where a body goes, as it arrives.
class BodySink {
  public:
    virtual ~BodySink() = default;
    // Called once, before the first byte of the body that is kept (its
    // offset is 0, or resumeFrom for a continued one). False ends the
    // exchange with kPackageFileFailed.
    virtual bool Start(const BodyStart& start) = 0;
    // The next piece of the body. False ends the exchange with
    // kPackageFileFailed.
    virtual bool Take(const char* data, std::size_t size) = 0;
};

// What became of a request's range (always kNone for a request that asks for
// none).
enum class RangeAnswer {
    kNone,           // the body, if any, is the whole resource from its start
    kContinued,      // "206" with the range asked for: the body continues at resumeFrom
    kMismatch,       // "206" with any other range (or none): kStatusNotAccepted, no body kept
    kUnsatisfiable,  // "416": the resource is not longer than resumeFrom; kStatusNotAccepted
};

struct HttpResult {
    ErrorCode code = kOk;
    // The body ran to a known end: its length equals the announced one
    // ("Content-Length:", or what a continuation's range leaves). A package
    // that ends with kOk is complete only when this holds.
    bool wholeAsAnnounced = false;
    RangeAnswer range = RangeAnswer::kNone;
    // The length of the whole resource as the answer gives it ("Content-Length:"
    // of a "200", the total of a "206" or "416" range), kUnknownContentLength
    // when it gives none.
    std::int64_t total = -1;
};

// Fetches the request's URL into `response`, which receives the body only and
// is emptied first. A redirect answer's header names the URL to fetch
// instead, and the same request goes there; the budget covers the whole
// chain, and only the last answer's body is kept, reported and observed.
//
// An announced length reserves at most 4 MiB up front; beyond that the body's
// buffer grows with the bytes that really arrive (to at most about twice
// them), so a false announcement cannot take memory by itself.
//
// The code is kOk when the server closed the connection after a "200 OK"
// header and a patch list that matched its announced length (or announced
// none). A package ends with kOk whatever its body's length, also as soon as
// its body passes its announced length, which it then can never match; only
// wholeAsAnnounced tells a complete body from a short or long one. Otherwise:
//   kTimeBudgetSpent, kSocketSetupFailed, kConnectionRefused,
//   kConnectTimedOut, kUrlUnusableOrWaitFailed, kCancelled  from the
//       connection (see ConnectWithTimeout), to the server or to its proxy;
//       kUrlUnusableOrWaitFailed also for a URL ParseUrl does not take, which
//       names no host
//   kBadPackageName  the URL's host is neither a name nor an address
//       (ParseHost): nothing is sent anywhere
//   kProxyRefused  the proxy chosen for the URL is unusable, or answered a
//       CONNECT with anything but 2xx, or a plain request with 407, 403 or
//       502
//   kTlsHandshakeFailed  the TLS handshake failed: no TLS 1.2 or newer in
//       common, no common cipher, a server that does not speak TLS, a
//       connection broken during the handshake (never followed by a plain
//       request)
//   kCertificateRejected  the server's certificate did not verify: unknown
//       or untrusted issuer, self-signed, expired, or not for the URL's host
//   kTimeBudgetSpent, kSilenceLimit, kUrlUnusableOrWaitFailed, kNotInReadySet
//       also from the handshake's waits, which count as the header's
//   kTimeBudgetSpent  the budget was spent when a header byte or a piece of
//       the body arrived (a body piece is kept and its percentage reported);
//       the budget is charged with the waits that ended with data
//   kRequestNotSent  the request was not sent whole by one send call
//   kReceiveFailed  a receive failed, or the server closed before the header
//       ended, or a patch list differed from its announced length: the
//       server closed short of it, or the body passed it (the exchange ends
//       there); or a TLS server closed without close_notify after a header
//       that announced no length, so the body's end is unknown (with a
//       length, such a close ends the body like any other)
//   kNotInReadySet  a readiness wait reported readiness without this socket
//   kStatusNotAccepted  the status line lacks "200 OK" and is no redirect
//   kRedirectRefused, kTooManyRedirects  a redirect that is not followed
//       (see RedirectChain::Follow)
//   kCancelled  CancelRequested() answered true
//   kSilenceLimit  the fifth readiness wait without data in the header, or
//       the fifth in the body (HttpLimits::idleWaitLimit)
//   kUrlUnusableOrWaitFailed  a readiness wait failed
//   kResponseTooLarge  the header passed HttpLimits::headerCap, or an
//       unbounded body passed HttpLimits::bodyCap
// A package body that runs past its announced length is not stored beyond
// it. After a failure `response` holds whatever body had arrived.
HttpResult HttpGet(const HttpRequest& request, std::string& response);

// The same exchange, with the body handed to `sink` piece by piece instead of
// held (a package of any size costs a fixed amount of memory). A resumed
// request (resumeFrom above 0) is answered by:
//   - "200 OK": the whole resource, started at offset 0 (range kNone);
//   - "206" whose "Content-Range:" starts at resumeFrom and runs to the end
//     of a known total, with a "Content-Length:" (if any) that agrees: the
//     rest, started at resumeFrom (kContinued); percentages count the whole
//     resource;
//   - "206" with any other range: kStatusNotAccepted, range kMismatch, nothing
//     handed to the sink;
//   - "416": kStatusNotAccepted, range kUnsatisfiable, with the total its
//     "Content-Range: bytes */TOTAL" gives;
//   - anything else as an unresumed request.
// A sink that refuses a piece or the start ends the exchange with
// kPackageFileFailed.
HttpResult HttpGet(const HttpRequest& request, BodySink& sink);
