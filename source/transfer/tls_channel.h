// TLS for the exchange: one client session over a connected non-blocking
// socket, through OpenSSL.
//
// The session only says what it needs next (to read or to write); the
// exchange answers with its own readiness waits, so the time budget, the
// silence limit and the waits' time-outs hold for TLS exactly as for plain
// HTTP. The encrypted bytes travel through platform::SendSome and
// platform::ReceiveSome, so the platform layer stays the only door to the
// operating system (and its fault hooks reach TLS too).
//
// What is trusted: TLS 1.2 or newer; a certificate chain that verifies
// against the system's trust store (SSL_CERT_FILE and SSL_CERT_DIR in the
// environment replace its file and folder, which is how tests and the demo
// trust a test CA) and the build's extra CA file (kBuildExtraCaFile); and a
// certificate that names the URL's host (a host of dotted digits as its IP
// address, anything else as a DNS name, which is also sent as SNI). The
// trust store is read once per process, at the first session.
//
// Worker thread only, one session per exchange.
#pragma once

#include <cstddef>
#include <string>

#include "platform/platform.h"
#include "transfer/host_address.h"
#include "vocabulary/error_codes.h"

// What Receive gives when the server closed the connection without TLS's
// close_notify: the end of the body cannot be told from a cut made by
// someone else on the way.
inline constexpr long kClosedUnconfirmed = -3;

// From OpenSSL, kept out of this header.
struct ssl_st;

class TlsChannel {
  public:
    // Prepares a session for `host` over `socket` (which stays the caller's
    // to close); nothing is sent until Handshake. The certificate must name
    // the host: its name, or for a numeric host its address (and SNI then
    // carries nothing). An unusable host gives an unusable session.
    TlsChannel(platform::Socket socket, const Host& host);
    ~TlsChannel();
    TlsChannel(const TlsChannel&) = delete;
    TlsChannel& operator=(const TlsChannel&) = delete;

    // False when the session could not be made (the process's TLS context
    // or the session failed to set up): nothing else may be called.
    bool usable() const { return session_ != nullptr; }

    enum class Step { kDone, kWantRead, kWantWrite, kFailed };
    // Takes the handshake as far as it goes without waiting. After kWantRead
    // or kWantWrite the caller waits for the socket and calls it again.
    Step Handshake();
    // Why the handshake failed, after kFailed: kCertificateRejected when the
    // server's certificate did not verify for the host, else
    // kTlsHandshakeFailed (no common protocol version or cipher, an alert,
    // a server that does not speak TLS, a broken connection).
    ErrorCode HandshakeFailure() const { return failure_; }

    // Sends `size` bytes as application data; false unless all of it went.
    bool Send(const char* data, std::size_t size);

    // Application data into `buffer`, as platform::ReceiveSome gives bytes:
    // the count; platform::kReceiveWouldBlock when no whole record has
    // arrived yet (bytes already decrypted are always handed out first, so
    // a readiness wait is needed exactly then); 0 when the server closed with
    // close_notify; kClosedUnconfirmed when it closed without; -1 when the
    // receive or the record failed.
    long Receive(char* buffer, std::size_t size);

    // What the socket bridge between OpenSSL and the platform knows.
    struct Link {
        platform::Socket socket;
        bool ended = false;  // the server closed its side
    };

  private:
    Link link_;
    ssl_st* session_ = nullptr;
    ErrorCode failure_ = kTlsHandshakeFailed;
};
