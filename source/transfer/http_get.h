// The updater's own HTTP/1.1 client: one GET per connection.
//
// HttpGet sends one fixed request ("Connection: Close"), reads the header
// byte by byte, accepts only a "200 OK" status line and collects the body
// until the server closes the connection. While the body arrives it reports
// percentages, polls CancelRequested, limits how often the connection may stay
// silent and charges the time spent waiting for data to the caller's budget.
// No redirects, no chunked or content decoding (a body is stored exactly as
// received, though package requests offer gzip), no proxy.
//
// Worker thread only, one exchange at a time.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/status_word.h"
#include "platform/platform.h"

// Set by the window's Cancel button (GUI thread), never reset; read by
// HttpGet before the body and after every pass of the body loop.
extern std::atomic<bool> CancelRequested;

// Selected packages not yet downloaded whole. Set by the worker; HttpGet
// lowers it by one for each package body whose length equals the announced
// "Content-Length:". The worker compares it before and after a download to
// learn whether the package arrived whole. Worker thread only.
extern std::uint32_t PendingPackageCount;

// The fixed waits and the memory caps of one exchange. The defaults are the
// product's values; tests pass shorter waits and smaller caps.
struct HttpLimits {
    platform::TimeVal connectTimeout{2, 0};
    // Every readiness wait for header or body bytes gets this much.
    platform::TimeVal readinessWait{4, 0};
    // Waits that end without data, counted in the header and, afresh, in the
    // body; the one that reaches this number in either ends the exchange with
    // 21, so each may stay silent for about 20 seconds.
    int idleWaitLimit = 5;
    // A header that has not ended after this many bytes gives 23.
    std::size_t headerCap = 64 * 1024;
    // A body not bounded by a package's announced length (the patch list, or
    // a package whose length is unknown) that grows past this gives 23.
    std::size_t bodyCap = 16 * 1024 * 1024;
};

// Fetches `url` ("http://host[:port]/path") into `response`, which receives
// the body only and is emptied first. `isPackage` offers gzip in the request
// and counts a complete body in PendingPackageCount; `statusCallback` (may be
// null) receives percentage status words; the budget is (`timeoutSeconds`,
// `timeoutMicroseconds`).
//
// An announced length reserves at most 4 MiB up front; beyond that the body's
// buffer grows with the bytes that really arrive (to at most about twice
// them), so a false announcement cannot take memory by itself.
//
// Returns 0 when the server closed the connection after a "200 OK" header and
// a body that is not a package matched its announced length (or announced
// none). A package returns 0 whatever its body's length: only
// PendingPackageCount tells a complete body from a short or long one; it also
// returns 0 as soon as its body passes its announced length, which it then can
// never match. Otherwise:
//   7, 8, 9, 14, 22  from the connection (see ConnectWithTimeout)
//   7   the budget was spent when a header byte or a piece of the body
//       arrived (a body piece is kept and its percentage reported); the
//       budget is charged with the waits that ended with data
//   11  the request was not sent whole by one send call
//   12  a receive failed, or the server closed before the header ended, or a
//       body that is not a package differed from its announced length: the
//       server closed short of it, or the body passed it (the exchange ends
//       there)
//   13  a readiness wait reported readiness without this socket
//   15  the status line lacks "200 OK"
//   16  CancelRequested was set
//   21  the fifth readiness wait without data in the header, or the fifth in
//       the body (HttpLimits::idleWaitLimit)
//   22  a readiness wait failed
//   23  the header passed HttpLimits::headerCap, or an unbounded body passed
//       HttpLimits::bodyCap
// A package body that runs past its announced length is not stored beyond
// it. After a failure `response` holds whatever body had arrived.
int HttpGet(const std::string& url, std::string& response, bool isPackage,
            StatusCallback statusCallback, std::int32_t timeoutSeconds,
            std::int32_t timeoutMicroseconds);
int HttpGet(const std::string& url, std::string& response, bool isPackage,
            StatusCallback statusCallback, std::int32_t timeoutSeconds,
            std::int32_t timeoutMicroseconds, const HttpLimits& limits);
