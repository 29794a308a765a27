#include "vocabulary/error_codes.h"

const char* ErrorMeaning(int code) {
    switch (code) {
        case kOk:
            return "success";
        case kNothingNewer:
            return "nothing newer to install";
        case kSocketsUnavailable:
            return "the socket library did not start";
        case kTimeBudgetSpent:
            return "the connection or transfer ran out of time";
        case kSocketSetupFailed:
            return "the socket could not be set up or waited on";
        case kConnectionRefused:
            return "the connection was refused";
        case kRequestNotSent:
            return "the request was not sent whole";
        case kReceiveFailed:
            return "receiving failed";
        case kNotInReadySet:
            return "the socket was not ready after the wait";
        case kConnectTimedOut:
            return "the connection timed out";
        case kStatusNotOk:
            return "the server did not answer 200 OK";
        case kCancelled:
            return "cancelled by the user";
        case kBadPackageName:
            return "a package URL gives no usable file name";
        case kApplyFailed:
            return "a package could not be applied";
        case kPackageFileFailed:
            return "the package file could not be written";
        case kPackageIncomplete:
            return "a package arrived incomplete";
        case kSilenceLimit:
            return "the server stayed silent too long";
        case kWaitFailedOrUnresolved:
            return "the host does not resolve, or waiting failed";
        case kResponseTooLarge:
            return "the response was larger than allowed";
        case kOutOfMemory:
            return "memory ran out";
        case kUnexpectedFailure:
            return "an unexpected internal failure";
        case kDigestMismatch:
            return "a package's SHA-256 digest differs from its record's";
        case kListNotTrusted:
            return "the patch list's signature is missing, malformed or not from a trusted key";
        case kDigestMissing:
            return "a record of the signed patch list carries no digest";
        case kTlsHandshakeFailed:
            return "the TLS handshake failed";
        case kCertificateRejected:
            return "the server's certificate does not verify for its host";
        case kRedirectRefused:
            return "a redirect was refused (to plain HTTP, or without a usable Location)";
        case kTooManyRedirects:
            return "too many redirects, or a redirect loop";
        case kNoRoomForPackage:
            return "the installation's disk has no room for a package";
        default:
            return "unknown error";
    }
}
