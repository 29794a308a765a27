// The HTTP GET exchange against a peer that answers with the fuzzer's bytes.
// Each input is played by a peer on 127.0.0.1: it reads the request, sends
// the bytes and closes (or resets) the connection. Whatever
// comes back, the exchange must end with one of its documented codes, keep
// its memory caps, and on success hold exactly the body that was sent.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "loopback_peer.h"
#include "transfer/http_get.h"
#include "transfer/http_header.h"
#include "vocabulary/cancel_request.h"
#include "vocabulary/error_codes.h"

namespace {

// Short waits, so a silent peer costs milliseconds, and small caps, so the
// fuzzer reaches them with short inputs.
HttpLimits ShortLimits() {
    HttpLimits limits;
    limits.connectTimeout = {1, 0};
    limits.readinessWait = {0, 20000};
    limits.headerCap = 1024;
    limits.bodyCap = 4096;
    // A redirect names any host at all; following one would send traffic
    // off this machine. Each is refused (kTooManyRedirects) before anything
    // is resolved or connected.
    limits.mostRedirects = 0;
    return limits;
}

// Every code the exchange may give once it has connected to a live peer.
const std::set<int> kExchangeCodes = {kOk,
                                      kTimeBudgetSpent,
                                      kRequestNotSent,
                                      kReceiveFailed,
                                      kNotInReadySet,
                                      kStatusNotAccepted,
                                      kCancelled,
                                      kSilenceLimit,
                                      kUrlUnusableOrWaitFailed,
                                      kResponseTooLarge,
                                      kRedirectRefused,
                                      kTooManyRedirects};

// The header ends after the first run of four CR or LF bytes.
std::size_t HeaderEnd(std::string_view response) {
    int run = 0;
    for (std::size_t i = 0; i < response.size(); ++i) {
        run = (response[i] == '\r' || response[i] == '\n') ? run + 1 : 0;
        if (run == 4)
            return i + 1;
    }
    return std::string_view::npos;
}

void CheckSuccess(std::string_view sent, const std::string& body, bool isPackage, bool whole,
                  const HttpLimits& limits) {
    const std::size_t headerEnd = HeaderEnd(sent);
    FUZZ_CHECK(headerEnd != std::string_view::npos);
    const std::string_view header = sent.substr(0, headerEnd);
    FUZZ_CHECK(IsStatusOk(header));
    const std::string_view fullBody = sent.substr(headerEnd);
    const std::int64_t length = GetContentLength(header);
    const bool bounded = isPackage && length != kUnknownContentLength;
    if (bounded) {
        // A package is stored up to its announced length and whole only
        // when it arrived exactly as announced.
        FUZZ_CHECK(body == fullBody.substr(0, static_cast<std::size_t>(length)));
        FUZZ_CHECK(whole == (fullBody.size() == static_cast<std::size_t>(length)));
    } else {
        // A patch list succeeds with a known length only when it matched it.
        FUZZ_CHECK(body == fullBody);
        FUZZ_CHECK(body.size() <= limits.bodyCap);
        FUZZ_CHECK(whole == (length != kUnknownContentLength));
    }
}

// A continued package: a "206" for exactly the range asked for, stored up to
// the length that range leaves.
void CheckContinuation(std::string_view sent, const std::string& body, std::int64_t resumeFrom,
                       bool whole) {
    const std::size_t headerEnd = HeaderEnd(sent);
    FUZZ_CHECK(headerEnd != std::string_view::npos);
    const std::string_view header = sent.substr(0, headerEnd);
    FUZZ_CHECK(StatusCode(header) == 206);
    const std::optional<ContentRange> range = GetContentRange(header);
    FUZZ_CHECK(range && range->first == resumeFrom && range->last == range->total - 1);
    const auto rest = static_cast<std::size_t>(range->total - resumeFrom);
    const std::string_view fullBody = sent.substr(headerEnd);
    FUZZ_CHECK(body == fullBody.substr(0, rest));
    FUZZ_CHECK(whole == (fullBody.size() == rest));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    // The first byte chooses the kind of request and how the peer ends.
    const bool isPackage = (data[0] & 1) != 0;
    const bool reset = (data[0] & 2) != 0;
    const bool cancel = (data[0] & 4) != 0;
    const std::int64_t resumeFrom = isPackage && (data[0] & 8) != 0 ? 1000 : 0;
    const std::string sent(reinterpret_cast<const char*>(data + 1), size - 1);

    static LoopbackPeer peer;
    peer.Expect(sent, reset);

    const HttpLimits limits = ShortLimits();
    if (cancel)
        RequestCancel();
    std::string body = "left over from before";
    HttpRequest request{
        peer.Url("/p.pak"), isPackage ? BodyKind::kPackage : BodyKind::kPatchList, {10, 0}, limits};
    request.resumeFrom = resumeFrom;
    const HttpResult result = HttpGet(request, body);
    const int code = result.code;
    ClearCancelRequest();
    peer.WaitUntilPlayed();

    FUZZ_CHECK(kExchangeCodes.count(code) == 1);
    FUZZ_CHECK(body.size() <= sent.size());
    // Only a request that asks for a range hears of one, and only a
    // continuation is a success.
    FUZZ_CHECK(resumeFrom > 0 || result.range == RangeAnswer::kNone);
    if (result.range == RangeAnswer::kMismatch || result.range == RangeAnswer::kUnsatisfiable)
        FUZZ_CHECK(code == kStatusNotAccepted);
    if (code == kOk) {
        FUZZ_CHECK(!cancel);
        if (result.range == RangeAnswer::kContinued)
            CheckContinuation(sent, body, resumeFrom, result.wholeAsAnnounced);
        else
            CheckSuccess(sent, body, isPackage, result.wholeAsAnnounced, limits);
    } else {
        FUZZ_CHECK(!result.wholeAsAnnounced);
    }
    return 0;
}
