// Every code an update run can end with. One number space is shared by the
// worker, the connection step and the HTTP exchange; 0 means success.
#pragma once

enum ErrorCode : int {
    kOk = 0,
    kNothingNewer = 2,             // installed version 0, or no newer patch listed
    kSocketsUnavailable = 3,       // the socket library did not start
    kTimeBudgetSpent = 7,          // connection or transfer ran out of time
    kSocketSetupFailed = 8,        // socket creation, non-blocking mode or wait failed
    kConnectionRefused = 9,        // the connection attempt failed
    kRequestNotSent = 11,          // the request was not sent whole
    kReceiveFailed = 12,           // a receive failed or the peer closed mid-header
    kNotInReadySet = 13,           // the wait said ready without this socket
    kConnectTimedOut = 14,         // no connection within its time-out
    kStatusNotOk = 15,             // the status line lacks "200 OK"
    kCancelled = 16,               // the user pressed Cancel
    kBadPackageName = 17,          // a package URL gives no plain file name
    kApplyFailed = 18,             // a package could not be applied
    kPackageFileFailed = 19,       // the downloaded package could not be written
    kPackageIncomplete = 20,       // the package body length differed from announced
    kSilenceLimit = 21,            // the fifth wait without data
    kWaitFailedOrUnresolved = 22,  // the readiness wait failed, or no such host
    kResponseTooLarge = 23,        // a header or length-less body passed its cap
    kOutOfMemory = 24,             // an allocation failed during the run
    kUnexpectedFailure = 25,       // another std::exception ended the run
    kDigestMismatch = 26,          // a package's SHA-256 differs from its record's
    kListNotTrusted = 27,          // the list's signature is missing, malformed or untrusted
    kDigestMissing = 28,           // a signed list's taken record carries no digest
    kTlsHandshakeFailed = 29,      // the TLS handshake failed (protocol, cipher, peer)
    kCertificateRejected = 30,     // the server's certificate did not verify for its host
    kRedirectRefused = 31,         // a redirect to plain HTTP, or without a usable Location
    kTooManyRedirects = 32,        // a redirect loop, or a sixth redirect
    kNoRoomForPackage = 33,        // the installation's volume lacks room for a package
};

// A short English description of `code`, for the console front-end and tools.
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
