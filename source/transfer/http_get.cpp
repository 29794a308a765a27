#include "transfer/http_get.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "transfer/host_address.h"
#include "transfer/http_header.h"
#include "transfer/progress_report.h"
#include "transfer/proxy_choice.h"
#include "transfer/redirect.h"
#include "transfer/time_arithmetic.h"
#include "transfer/tls_channel.h"
#include "transfer/url_and_connection.h"
#include "vocabulary/cancel_request.h"
#include "vocabulary/error_codes.h"

namespace {

constexpr std::size_t kPieceSize = 4096;
// Four CR or LF bytes in a row end the header, so "\r\n\r\n" does and a bare
// "\n\n" does not.
constexpr int kHeaderEndRun = 4;
// An announced length is only the server's word, so no more than this is
// reserved before any byte has arrived: a header announcing a gigabyte in
// front of a hundred bytes must not take a gigabyte (under a memory limit it
// would end the process). Beyond it the buffer grows with what arrives.
constexpr std::size_t kFirstReservation = std::size_t{4} << 20;

// A value that cannot end the header line it stands in: the validator came
// from a server and was kept on disk, and must not add lines of its own.
bool IsPlainFieldValue(std::string_view value) {
    return std::none_of(value.begin(), value.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F;
    });
}

// The request bytes of an unresumed request are always the same; a resumed
// one adds its range and nothing else. Through a proxy the request line names
// the whole URL (absolute form) and the proxy's credentials go along.
std::string ComposeRequest(const Url& url, const HttpRequest& request, const ProxyRoute* proxy) {
    const std::string target = proxy != nullptr ? FormatUrl(url) : url.path;
    std::string bytes = "GET " + target + " HTTP/1.1\r\nAccept: */*\r\nHost: " + url.host;
    if (proxy != nullptr && !proxy->authorization.empty())
        bytes += "\r\nProxy-Authorization: " + proxy->authorization;
    if (request.resumeFrom > 0) {
        bytes += "\r\nRange: bytes=" + std::to_string(request.resumeFrom) + "-";
        if (!request.ifRange.empty() && IsPlainFieldValue(request.ifRange))
            bytes += "\r\nIf-Range: " + request.ifRange;
    }
    bytes += request.body == BodyKind::kPackage
                 ? "\r\nAccept-Encoding: gzip\r\nConnection: Close\r\n\r\n"
                 : "\r\nConnection: Close\r\n\r\n";
    return bytes;
}

// Asks a proxy for a tunnel to the URL's host and port, through which TLS
// then runs end to end with the server itself.
std::string ComposeTunnelRequest(const Url& url, const ProxyRoute& proxy) {
    const std::string authority = url.host + ":" + url.portText;
    std::string bytes = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority;
    if (!proxy.authorization.empty())
        bytes += "\r\nProxy-Authorization: " + proxy.authorization;
    return bytes + "\r\n\r\n";
}

// What a proxy says when it will not carry a plain request: it wants
// credentials (407), forbids the request (403), or cannot reach the server
// (502). By way of a proxy these are taken as the proxy's own answers.
bool IsProxyRefusal(std::optional<int> status) {
    return status == 407 || status == 403 || status == 502;
}

bool IsLengthKnown(std::int64_t announcedLength) {
    return announcedLength != kUnknownContentLength;
}

// Holds a body in a string, for the texts the updater reads whole.
class StringSink : public BodySink {
  public:
    explicit StringSink(std::string& response) : response_(response) {}

    bool Start(const BodyStart& start) override {
        const std::int64_t length = start.length;
        expected_ = IsLengthKnown(length) && static_cast<std::uint64_t>(length) <= SIZE_MAX
                        ? static_cast<std::size_t>(length)
                        : 0;
        Reserve(std::min(expected_, kFirstReservation));
        return true;
    }

    bool Take(const char* data, std::size_t size) override {
        MakeRoom(response_.size() + size);
        response_.append(data, size);
        return true;
    }

  private:
    // Doubles the buffer as the body outgrows it, so a large body is copied
    // only a few times and the memory held stays within twice what arrived.
    // Growth stops at the expected length, which a body that keeps its word
    // then fills exactly.
    void MakeRoom(std::size_t needed) {
        if (needed <= response_.capacity())
            return;
        std::size_t next = std::max(needed, 2 * response_.capacity());
        if (needed <= expected_)
            next = std::min(next, expected_);
        Reserve(next);
    }

    // A large buffer about to be filled from the socket is worth large pages;
    // AdviseLargePages ignores one too small for them.
    void Reserve(std::size_t size) {
        if (size <= response_.capacity())
            return;
        response_.reserve(size);
        platform::AdviseLargePages(response_.data(), response_.capacity());
    }

    std::string& response_;
    std::size_t expected_ = 0;  // the announced length; 0 when unknown
};

// How much of a body is kept. A package that announced its length is kept up
// to that length and no further (a longer body fails the completeness check
// anyway); any other body is kept to the cap and fails past it.
class BodyLimit {
  public:
    BodyLimit(BodyKind kind, std::int64_t announcedLength, std::size_t cap)
        : boundedByLength_(kind == BodyKind::kPackage && IsLengthKnown(announcedLength)),
          limit_(boundedByLength_ ? announcedLength : static_cast<std::int64_t>(cap)) {}

    // How much of `size` more bytes, after `kept` kept ones, is kept; nothing
    // when an unbounded body would pass its cap.
    std::optional<std::size_t> Taken(std::int64_t kept, std::size_t size) const {
        const std::int64_t room = limit_ - kept;
        if (static_cast<std::int64_t>(size) > room && !boundedByLength_)
            return std::nullopt;
        return static_cast<std::size_t>(std::min(static_cast<std::int64_t>(size), room));
    }

  private:
    bool boundedByLength_;
    std::int64_t limit_;
};

// Where a kept body lies in its resource and how long it says it is.
struct BodyFrame {
    std::int64_t offset = 0;                      // 0, or resumeFrom for a continuation
    std::int64_t length = kUnknownContentLength;  // announced body length
    std::int64_t total = kUnknownContentLength;   // the whole resource's length
    RangeAnswer range = RangeAnswer::kNone;
    std::string validator;  // see BodyStart
};

// kIncomplete: the wait ended with bytes, but too few to give any data yet
// (a TLS record that has not arrived whole); the wait is charged, and is not
// a silent one.
enum class Readiness { kReady, kIncomplete, kSilent, kFailed, kNotInSet };

// The outcome of one receive. With kReady, `count` is the receive's result:
// bytes at `data`, 0 when the server closed, negative when it failed
// (kClosedUnconfirmed when a TLS server closed without close_notify).
struct Received {
    Readiness readiness = Readiness::kReady;
    long count = 0;
    const char* data = nullptr;
    // Time spent in a readiness wait that ended with data; nothing else is
    // charged to the budget.
    platform::TimeVal waited{0, 0};
};

// One connected socket, plain or under TLS, and the silences counted in its
// header and in its body. Closes the socket when the exchange ends, whatever
// the outcome.
class Exchange {
  public:
    Exchange(platform::Socket socket, const HttpLimits& limits)
        : socket_(socket), limits_(limits), taken_(kReceiveSize) {}
    ~Exchange() {
        tls_.reset();
        platform::CloseSocket(socket_);
    }
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

    ErrorCode StartTls(const Host& host, platform::TimeVal& budget);
    // Sends a proxy the tunnel request and reads its answer; kOk once the
    // proxy answered 2xx and every later byte is the server's.
    ErrorCode OpenTunnel(const std::string& request, platform::TimeVal& budget);

    // One send call; a remainder is never sent in a second call. Under TLS
    // the request goes as one record (see TlsChannel's socket bridge).
    bool SendRequest(const std::string& request) {
        if (tls_)
            return tls_->Send(request.data(), request.size());
        const long sent = platform::SendSome(socket_, request.data(), request.size());
        return sent == static_cast<long>(request.size());
    }

    ErrorCode ReadHeader(std::string& header, platform::TimeVal& budget);
    HttpResult ReadBody(BodySink& sink, const HttpRequest& request, const BodyFrame& frame,
                        platform::TimeVal& budget);

  private:
    // A fast server keeps the socket's buffer full, so one receive takes up
    // to this much and the body pieces are handed out of it.
    static constexpr std::size_t kReceiveSize = 64 * 1024;

    // Plain or TLS, the one receive every byte of an answer comes through.
    long ReceiveSome(char* buffer, std::size_t size) {
        if (tls_)
            return tls_->Receive(buffer, size);
        return platform::ReceiveSome(socket_, buffer, size);
    }
    Received Wait(platform::WaitFor what);
    Received Receive(char* buffer, std::size_t size);
    Received NextBodyPiece();

    bool SilenceLimitReached() const { return idleWaits_ >= limits_.idleWaitLimit; }

    static ErrorCode CodeOf(Readiness readiness) {
        return readiness == Readiness::kFailed ? kUrlUnusableOrWaitFailed : kNotInReadySet;
    }

    platform::Socket socket_;
    const HttpLimits& limits_;
    std::unique_ptr<TlsChannel> tls_;  // null for plain HTTP
    int idleWaits_ = 0;        // in the part being read: the handshake and header, or the body
    std::vector<char> taken_;  // received, not yet handed out as body pieces
    std::size_t takenBegin_ = 0;
    std::size_t takenEnd_ = 0;
};

// One readiness wait of the full length, where a silent one is counted and
// gives up the rest of the time slice. kReady carries the time waited.
Received Exchange::Wait(platform::WaitFor what) {
    const platform::TimeVal start = GetTickTime();
    bool ready = false;
    const int result = platform::WaitForSocket(socket_, what, limits_.readinessWait, &ready);
    if (result < 0)
        return {Readiness::kFailed};
    if (result == 0) {
        ++idleWaits_;
        platform::YieldTimeSlice();
        return {Readiness::kSilent};
    }
    if (!ready)
        return {Readiness::kNotInSet};
    return {Readiness::kReady, 0, nullptr, SubtractTime(GetTickTime(), start)};
}

// Takes what has arrived at once (the socket is non-blocking) and waits only
// when nothing has. A wait that returns at once costs nothing, so skipping it
// changes no outcome. Under TLS the receive comes first for a second reason:
// bytes OpenSSL has already taken from the socket and decrypted (or holds
// read ahead) no longer make the socket readable, and a wait before taking
// them would wait for bytes that are already here.
Received Exchange::Receive(char* buffer, std::size_t size) {
    const long count = ReceiveSome(buffer, size);
    if (count != platform::kReceiveWouldBlock)
        return {Readiness::kReady, count, buffer};
    Received waited = Wait(platform::WaitFor::kReadable);
    if (waited.readiness != Readiness::kReady)
        return waited;
    waited.count = ReceiveSome(buffer, size);
    waited.data = buffer;
    if (waited.count == platform::kReceiveWouldBlock)
        waited.readiness = Readiness::kIncomplete;
    return waited;
}

// The handshake is driven like a receive: each step OpenSSL cannot finish
// without the server gets one readiness wait, silent waits count toward the
// header's silence limit, and waits that end with data are charged to the
// budget. A server that stalls its handshake is thus stopped as one that
// stalls its header would be.
ErrorCode Exchange::StartTls(const Host& host, platform::TimeVal& budget) {
    tls_ = std::make_unique<TlsChannel>(socket_, host);
    if (!tls_->usable())
        return kTlsHandshakeFailed;
    for (;;) {
        if (SilenceLimitReached())
            return kSilenceLimit;
        const TlsChannel::Step step = tls_->Handshake();
        if (step == TlsChannel::Step::kDone)
            return kOk;
        if (step == TlsChannel::Step::kFailed)
            return tls_->HandshakeFailure();
        const Received waited =
            Wait(step == TlsChannel::Step::kWantWrite ? platform::WaitFor::kWritable
                                                      : platform::WaitFor::kReadable);
        if (waited.readiness == Readiness::kSilent)
            continue;
        if (waited.readiness != Readiness::kReady)
            return CodeOf(waited.readiness);
        if (!ChargeBudget(budget, waited.waited))
            return kTimeBudgetSpent;
    }
}

// The answer's header is read byte by byte, so not one byte of the TLS
// handshake that follows is taken with it. Any answer but 2xx is a refusal,
// whatever its body says: the request never goes around the proxy.
ErrorCode Exchange::OpenTunnel(const std::string& request, platform::TimeVal& budget) {
    if (!SendRequest(request))
        return kRequestNotSent;
    std::string header;
    if (const ErrorCode code = ReadHeader(header, budget); code != kOk)
        return code;
    const std::optional<int> status = StatusCode(header);
    return status && *status >= 200 && *status <= 299 ? kOk : kProxyRefused;
}

// The body comes in pieces of at most 4096 bytes, the unit of every
// percentage, budget charge and cancel check: the pieces that separate
// 4096-byte receives would take out of the socket's buffer, taken out of one
// larger receive instead, which saves most system calls on a fast transfer.
Received Exchange::NextBodyPiece() {
    platform::TimeVal waited{};
    if (takenBegin_ == takenEnd_) {
        const Received fresh = Receive(taken_.data(), taken_.size());
        if (fresh.readiness != Readiness::kReady || fresh.count <= 0)
            return fresh;
        takenBegin_ = 0;
        takenEnd_ = static_cast<std::size_t>(fresh.count);
        waited = fresh.waited;
    }
    const std::size_t size = std::min(kPieceSize, takenEnd_ - takenBegin_);
    const Received piece{Readiness::kReady, static_cast<long>(size), taken_.data() + takenBegin_,
                         waited};
    takenBegin_ += size;
    return piece;
}

// The header costs one receive per byte, so not one body byte is taken by
// it, and every byte is waited for with the readiness wait and its silence
// limit rather than by spinning on the non-blocking socket. Waits that end
// with a byte are charged to the budget as the body's are: a server that
// drips its header a byte every few seconds would otherwise hold the run for
// days, with Cancel not yet listened to.
ErrorCode Exchange::ReadHeader(std::string& header, platform::TimeVal& budget) {
    int run = 0;
    while (run < kHeaderEndRun) {
        if (header.size() >= limits_.headerCap)
            return kResponseTooLarge;
        if (SilenceLimitReached())
            return kSilenceLimit;
        char byte = 0;
        const Received received = Receive(&byte, 1);
        if (received.readiness == Readiness::kSilent)
            continue;
        if (received.readiness == Readiness::kIncomplete) {
            if (!ChargeBudget(budget, received.waited))
                return kTimeBudgetSpent;
            continue;
        }
        if (received.readiness != Readiness::kReady)
            return CodeOf(received.readiness);
        // A failed receive, or a close before the header ended.
        if (received.count != 1)
            return kReceiveFailed;
        if (!ChargeBudget(budget, received.waited))
            return kTimeBudgetSpent;
        header.push_back(byte);
        run = (byte == '\r' || byte == '\n') ? run + 1 : 0;
    }
    return kOk;
}

// A body that has passed its announced length can no longer be the one
// announced, so the exchange ends there, as it would at the server's close.
// Reading on would gain nothing, and a server that never stops sending would
// hold the run for good, since only waits are charged to the budget and a
// fast server makes none.
bool PassedAnnouncedLength(std::int64_t announcedLength, std::int64_t received) {
    return IsLengthKnown(announcedLength) && received > announcedLength;
}

// How a body ends, at the server's close or past its announced length. A
// package ends well either way, and its caller judges it by whether it is
// whole as announced; one with no usable length never is, so a package of
// unknown completeness is never applied. The patch list has no such check of
// its own: a list cut short would pass as whole, its lost records (a stop
// record among them) never seen, and one longer than announced is no more
// trustworthy. So a length that does not match fails the receive, and the
// list is tried again.
HttpResult EndBody(BodyKind kind, const BodyFrame& frame, std::int64_t received) {
    const bool whole = IsLengthKnown(frame.length) && received == frame.length;
    const ErrorCode code = kind == BodyKind::kPatchList && IsLengthKnown(frame.length) && !whole
                               ? kReceiveFailed
                               : kOk;
    return {code, whole, frame.range, frame.total};
}

// Whether a receive's result ends the body as the server's close does. A TLS
// server that closes without close_notify (many do, right after the last
// byte) has said nothing about where its body ends, and neither has anyone
// who cut the connection on the way. With an announced length that does not
// matter: EndBody measures the body against it, so a cut body still fails
// (a package is not whole, a list fails its receive). Without one nothing
// could tell a cut from the end, so such a body fails the receive.
bool EndsTheBody(long count, std::int64_t announcedLength) {
    return count == 0 || (count == kClosedUnconfirmed && IsLengthKnown(announcedLength));
}

HttpResult Exchange::ReadBody(BodySink& sink, const HttpRequest& request, const BodyFrame& frame,
                              platform::TimeVal& budget) {
    const BodyKind kind = request.body;
    const std::int64_t announcedLength = frame.length;
    // The body gets the whole silence limit, however long the header took.
    idleWaits_ = 0;
    const BodyLimit limit(kind, announcedLength, limits_.bodyCap);
    // A continuation's percentages count the part at hand as received.
    ProgressReporter progress(frame.total, request.progress);
    std::int64_t received = 0;
    if (CancelRequested())
        return {kCancelled};
    if (!sink.Start({frame.offset, announcedLength, frame.validator}))
        return {kPackageFileFailed};
    for (;;) {
        if (SilenceLimitReached())
            return {kSilenceLimit};
        const Received piece = NextBodyPiece();
        if (piece.readiness == Readiness::kReady) {
            if (EndsTheBody(piece.count, announcedLength))
                return EndBody(kind, frame, received);
            if (piece.count < 0)
                return {kReceiveFailed};
            const std::optional<std::size_t> taken =
                limit.Taken(received, static_cast<std::size_t>(piece.count));
            if (!taken)
                return {kResponseTooLarge};
            if (*taken != 0) {
                if (!sink.Take(piece.data, *taken))
                    return {kPackageFileFailed};
                if (request.observeBody)
                    request.observeBody(piece.data, *taken);
            }
            received += piece.count;
            progress.Update(frame.offset + received);
            if (!ChargeBudget(budget, piece.waited))
                return {kTimeBudgetSpent};
            if (PassedAnnouncedLength(announcedLength, received))
                return EndBody(kind, frame, received);
        } else if (piece.readiness == Readiness::kIncomplete) {
            if (!ChargeBudget(budget, piece.waited))
                return {kTimeBudgetSpent};
        } else if (piece.readiness != Readiness::kSilent) {
            return {CodeOf(piece.readiness)};
        }
        if (CancelRequested())
            return {kCancelled};
    }
}

// A strong entity tag names one version of the resource exactly; a weak one
// ("W/...") may not be used to continue a body, so the date is taken then.
std::string ValidatorOf(std::string_view header) {
    if (const std::optional<std::string_view> tag = FindHeaderField(header, "ETag");
        tag && !tag->empty() && !tag->starts_with("W/")) {
        return std::string(*tag);
    }
    return std::string(FindHeaderField(header, "Last-Modified").value_or(""));
}

// A "206" is taken only as the continuation that was asked for: starting
// where the bytes at hand end, running to the end of a known total, with a
// length (when given) that says the same. Anything else could splice bytes of
// another range, or of another version of the resource, onto those at hand.
std::optional<BodyFrame> ContinuationFrame(std::string_view header, std::int64_t resumeFrom) {
    const std::optional<ContentRange> range = GetContentRange(header);
    if (!range || range->first != resumeFrom || range->total < 0 ||
        range->last != range->total - 1) {
        return std::nullopt;
    }
    const std::int64_t rest = range->total - resumeFrom;
    const std::int64_t length = GetContentLength(header);
    if (IsLengthKnown(length) && length != rest)
        return std::nullopt;
    return BodyFrame{resumeFrom, rest, range->total, RangeAnswer::kContinued, ValidatorOf(header)};
}

// What a resumed request's "416" says: the resource is no longer than the
// bytes at hand, and (when the range gives it) how long it is.
HttpResult RangeUnsatisfiable(std::string_view header) {
    const std::optional<ContentRange> range = GetContentRange(header);
    const std::int64_t total = range && range->first < 0 ? range->total : kUnknownContentLength;
    return {kStatusNotAccepted, false, RangeAnswer::kUnsatisfiable, total};
}

// The connection an exchange with `url` runs on: to the proxy chosen for
// it or to the server itself, through a tunnel for TLS behind a proxy.
// Notes in `route` where it went.
ErrorCode OpenConnection(const Url& url, const Host& host, const ProxyChoice& proxy,
                         const HttpLimits& limits, platform::TimeVal& budget,
                         std::unique_ptr<Exchange>& exchange, ConnectionRoute& route) {
    route = {url.host + ":" + url.portText, {}, proxy.route ? proxy.route->shown : proxy.shown};
    if (proxy.unusable)
        return kProxyRefused;
    const Url& first = proxy.route ? proxy.route->proxy : url;
    platform::TimeVal connectTimeout = limits.connectTimeout;
    platform::Socket socket = platform::kInvalidSocket;
    platform::IpAddress address;
    if (const ErrorCode code =
            ConnectWithTimeout(proxy.route ? proxy.route->host : host, first.portText,
                               connectTimeout, budget, socket, address);
        code != kOk) {
        return code;
    }
    route.address = AddressField(address) + ":" + first.portText;
    exchange = std::make_unique<Exchange>(socket, limits);
    if (proxy.route && url.secure) {
        if (const ErrorCode code =
                exchange->OpenTunnel(ComposeTunnelRequest(url, *proxy.route), budget);
            code != kOk) {
            return code;
        }
    }
    // Never a plain request in place of a failed handshake: what was asked
    // for under TLS is fetched under TLS or not at all.
    if (url.secure)
        return exchange->StartTls(host, budget);
    return kOk;
}

// One exchange with one URL. A redirect that is followed gives kOk with
// `next` set to where it leads; otherwise `next` stays empty.
HttpResult FetchOnce(const Url& url, const HttpRequest& request, const ProxySettings& proxies,
                     platform::TimeVal& budget, RedirectChain& redirects, BodySink& sink,
                     std::optional<Url>& next, ConnectionRoute& route) {
    // The host is read once, here: the connection and the certificate check
    // both take this reading.
    const Host host = ParseHost(url.host);
    if (host.kind == Host::Kind::kUnusable)
        return {kBadPackageName};
    const ProxyChoice proxy = ChooseProxy(url, proxies);
    std::unique_ptr<Exchange> exchange;
    if (const ErrorCode code =
            OpenConnection(url, host, proxy, request.limits, budget, exchange, route);
        code != kOk) {
        return {code};
    }
    const bool plainThroughProxy = proxy.route && !url.secure;
    if (!exchange->SendRequest(
            ComposeRequest(url, request, plainThroughProxy ? &*proxy.route : nullptr))) {
        return {kRequestNotSent};
    }
    std::string header;
    if (const ErrorCode code = exchange->ReadHeader(header, budget); code != kOk)
        return {code};
    if (IsStatusOk(header)) {
        const std::int64_t length = GetContentLength(header);
        const BodyFrame frame{0, length, length, RangeAnswer::kNone, ValidatorOf(header)};
        return exchange->ReadBody(sink, request, frame, budget);
    }
    const std::optional<int> status = StatusCode(header);
    if (plainThroughProxy && IsProxyRefusal(status))
        return {kProxyRefused};
    if (request.resumeFrom > 0 && status == 206) {
        const std::optional<BodyFrame> frame = ContinuationFrame(header, request.resumeFrom);
        if (!frame)
            return {kStatusNotAccepted, false, RangeAnswer::kMismatch};
        return exchange->ReadBody(sink, request, *frame, budget);
    }
    if (request.resumeFrom > 0 && status == 416)
        return RangeUnsatisfiable(header);
    if (!IsRedirectStatus(header))
        return {kStatusNotAccepted};
    Url target;
    if (const ErrorCode code = redirects.Follow(header, target); code != kOk)
        return {code};
    next = std::move(target);
    return {kOk};
}

}  // namespace

HttpResult HttpGet(const HttpRequest& request, std::string& response) {
    // Emptied and released, so the previous text's memory is not held while
    // the next one arrives.
    std::string().swap(response);
    StringSink sink(response);
    return HttpGet(request, sink);
}

HttpResult HttpGet(const HttpRequest& request, BodySink& sink) {
    std::optional<Url> url = ParseUrl(request.url);
    // A URL that does not fit names no host: nothing is sent anywhere.
    if (!url)
        return {kUrlUnusableOrWaitFailed};
    // One budget for the whole chain of redirects.
    platform::TimeVal budget = request.budget;
    RedirectChain redirects(*url, request.limits.mostRedirects);
    const ProxySettings proxies = request.proxies ? *request.proxies : CurrentProxySettings();
    for (;;) {
        std::optional<Url> next;
        ConnectionRoute route;
        const HttpResult result =
            FetchOnce(*url, request, proxies, budget, redirects, sink, next, route);
        if (request.observeRoute && !route.target.empty())
            request.observeRoute(route);
        if (!next)
            return result;
        url = std::move(next);
    }
}
