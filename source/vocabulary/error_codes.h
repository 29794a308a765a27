// Every code an update run can end with. One number space is shared by the
// worker, the connection step and the HTTP exchange; 0 means success.
#pragma once

// Each code once: its name, its number and its meaning, the short English text
// ErrorMeaning gives and update-console prints. The README's table of error
// codes repeats them, with more detail after the meaning; a vocabulary test
// fails when the two disagree.
#define UPDATER_ERROR_CODES(X)                                                                 \
    X(kOk, 0, "success")                                                                       \
    X(kNothingNewer, 2, "nothing newer to install")                                            \
    X(kSocketsUnavailable, 3, "the socket library did not start")                              \
    X(kTimeBudgetSpent, 7, "the connection or transfer ran out of time")                       \
    X(kSocketSetupFailed, 8, "the socket could not be set up or waited on")                    \
    X(kConnectionRefused, 9, "the connection was refused")                                     \
    X(kRequestNotSent, 11, "the request was not sent whole")                                   \
    X(kReceiveFailed, 12, "receiving failed")                                                  \
    X(kNotInReadySet, 13, "the socket was not ready after the wait")                           \
    X(kConnectTimedOut, 14, "the connection timed out")                                        \
    X(kStatusNotAccepted, 15,                                                                  \
      "the server answered neither 200 OK nor a redirect (nor, to a continued download, "      \
      "a 206 for the range asked for)")                                                        \
    X(kCancelled, 16, "cancelled by the user")                                                 \
    X(kBadPackageName, 17,                                                                     \
      "a package URL gives no usable file name, or a URL's host is neither a name nor an "     \
      "address")                                                                               \
    X(kApplyFailed, 18, "a package could not be applied")                                      \
    X(kPackageFileFailed, 19, "the package file could not be written")                         \
    X(kPackageIncomplete, 20, "a package arrived incomplete")                                  \
    X(kSilenceLimit, 21, "the server stayed silent too long")                                  \
    X(kUrlUnusableOrWaitFailed, 22,                                                            \
      "a URL is unusable (not http:// or https://, malformed, or its host does not resolve), " \
      "or waiting failed")                                                                     \
    X(kResponseTooLarge, 23, "the response was larger than allowed")                           \
    X(kOutOfMemory, 24, "memory ran out")                                                      \
    X(kUnexpectedFailure, 25, "an unexpected internal failure")                                \
    X(kDigestMismatch, 26, "a package's SHA-256 digest differs from its record's")             \
    X(kListNotTrusted, 27,                                                                     \
      "the patch list's signature is missing, malformed or not from a trusted key")            \
    X(kDigestMissing, 28, "a record of the signed patch list carries no digest")               \
    X(kTlsHandshakeFailed, 29, "the TLS handshake failed")                                     \
    X(kCertificateRejected, 30, "the server's certificate does not verify for its host")       \
    X(kRedirectRefused, 31,                                                                    \
      "a redirect was refused (to plain HTTP, or without a usable Location)")                  \
    X(kTooManyRedirects, 32, "too many redirects, or a redirect loop")                         \
    X(kNoRoomForPackage, 33, "the installation's disk has no room for a package")              \
    X(kProxyRefused, 34,                                                                       \
      "the proxy refused to carry the request (407, 403, 502 or another refusal), or the "     \
      "proxy setting is unusable")

#define UPDATER_ERROR_ENUMERATOR(name, number, meaning) name = number,
enum ErrorCode : int { UPDATER_ERROR_CODES(UPDATER_ERROR_ENUMERATOR) };
#undef UPDATER_ERROR_ENUMERATOR

// One row of the list above, for whoever prints or checks all of them.
struct ErrorCodeInfo {
    ErrorCode code;
    const char* name;
    const char* meaning;
};

#define UPDATER_ERROR_INFO(name, number, meaning) ErrorCodeInfo{name, #name, meaning},
inline constexpr ErrorCodeInfo kErrorCodes[] = {UPDATER_ERROR_CODES(UPDATER_ERROR_INFO)};
#undef UPDATER_ERROR_INFO

// The meaning of `code` above; "unknown error" for a number no code has.
const char* ErrorMeaning(int code);

// The four outcomes a run can show the user.
enum class Outcome { kSuccess, kUpToDate, kCancelled, kFailed };
constexpr Outcome OutcomeOf(int result) {
    switch (result) {
        case kOk:
            return Outcome::kSuccess;
        case kNothingNewer:
            return Outcome::kUpToDate;
        case kCancelled:
            return Outcome::kCancelled;
        default:
            return Outcome::kFailed;
    }
}
