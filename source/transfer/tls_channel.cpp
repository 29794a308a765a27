#include "transfer/tls_channel.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include "build_config.h"
#include "platform/platform.h"

namespace {

// ---------------------------------------------------------------------------
// The socket bridge: a BIO whose reads and writes are the platform's.

TlsChannel::Link& LinkOf(BIO* bio) {
    return *static_cast<TlsChannel::Link*>(BIO_get_data(bio));
}

int LinkRead(BIO* bio, char* data, std::size_t size, std::size_t* read) {
    BIO_clear_retry_flags(bio);
    *read = 0;
    TlsChannel::Link& link = LinkOf(bio);
    const long count = platform::ReceiveSome(link.socket, data, size);
    if (count == platform::kReceiveWouldBlock) {
        BIO_set_retry_read(bio);
        return 0;
    }
    if (count <= 0) {
        link.ended = count == 0;
        return 0;
    }
    *read = static_cast<std::size_t>(count);
    return 1;
}

// Never asks to be retried: platform::SendSome does not tell a full send
// buffer from a failure. What a client writes (its handshake messages, one
// request) fits an empty socket buffer, so a send that does not go at once
// is a broken connection, as it is for plain HTTP's one send call.
int LinkWrite(BIO* bio, const char* data, std::size_t size, std::size_t* written) {
    BIO_clear_retry_flags(bio);
    *written = 0;
    const long count = platform::SendSome(LinkOf(bio).socket, data, size);
    if (count <= 0)
        return 0;
    *written = static_cast<std::size_t>(count);
    return 1;
}

long LinkControl(BIO* bio, int command, long, void*) {
    switch (command) {
        case BIO_CTRL_FLUSH:
            return 1;
        case BIO_CTRL_EOF:
            // How OpenSSL tells a close without close_notify from a failure.
            return LinkOf(bio).ended ? 1 : 0;
        default:
            return 0;
    }
}

BIO_METHOD* MakeLinkMethod() {
    BIO_METHOD* method = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "updater socket");
    if (method == nullptr)
        return nullptr;
    if (BIO_meth_set_read_ex(method, LinkRead) != 1 ||
        BIO_meth_set_write_ex(method, LinkWrite) != 1 ||
        BIO_meth_set_ctrl(method, LinkControl) != 1) {
        BIO_meth_free(method);
        return nullptr;
    }
    return method;
}

// ---------------------------------------------------------------------------
// The process's client context, made once (function-local statics start
// thread-safely) and kept to the end of the process.

// A larger buffer lets one socket read take several records of a fast
// download instead of one read for each record's header and another for its
// body.
constexpr long kReadAheadBuffer = 64 * 1024;

SSL_CTX* MakeClientContext() {
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (context == nullptr)
        return nullptr;
    if (SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_default_verify_paths(context) != 1) {
        SSL_CTX_free(context);
        return nullptr;
    }
    // Where the system keeps its roots where the library cannot find them
    // (Windows), they are added one by one; a certificate that does not parse
    // is left out, never the whole store.
    X509_STORE* store = SSL_CTX_get_cert_store(context);
    for (const std::string& der : platform::SystemRootCertificates()) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(der.data());
        X509* certificate = d2i_X509(nullptr, &bytes, static_cast<long>(der.size()));
        if (certificate != nullptr) {
            X509_STORE_add_cert(store, certificate);
            X509_free(certificate);
        }
    }
    // A missing or unreadable extra file adds nothing: servers that need it
    // are then rejected like any other unknown one, never trusted blindly.
    if (*kBuildExtraCaFile != '\0')
        SSL_CTX_load_verify_locations(context, kBuildExtraCaFile, nullptr);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_read_ahead(context, 1);
    SSL_CTX_set_default_read_buffer_len(context, kReadAheadBuffer);
    ERR_clear_error();
    return context;
}

SSL_CTX* ClientContext() {
    static SSL_CTX* const context = MakeClientContext();
    return context;
}

BIO_METHOD* LinkMethod() {
    static BIO_METHOD* const method = MakeLinkMethod();
    return method;
}

bool NameTheHost(SSL* session, const Host& host) {
    switch (host.kind) {
        case Host::Kind::kAddress:
            return X509_VERIFY_PARAM_set1_ip(SSL_get0_param(session), host.address.bytes.data(),
                                             host.address.v6 ? 16 : 4) == 1;
        case Host::Kind::kName:
            SSL_set_hostflags(session, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
            return SSL_set_tlsext_host_name(session, host.name.c_str()) == 1 &&
                   SSL_set1_host(session, host.name.c_str()) == 1;
        case Host::Kind::kUnusable:
            break;
    }
    return false;
}

SSL* MakeSession(TlsChannel::Link& link, const Host& host) {
    SSL_CTX* context = ClientContext();
    BIO_METHOD* method = LinkMethod();
    if (context == nullptr || method == nullptr)
        return nullptr;
    SSL* session = SSL_new(context);
    BIO* bio = session != nullptr ? BIO_new(method) : nullptr;
    if (bio == nullptr) {
        SSL_free(session);
        return nullptr;
    }
    BIO_set_data(bio, &link);
    BIO_set_init(bio, 1);
    SSL_set_bio(session, bio, bio);  // the session owns the BIO from here
    if (!NameTheHost(session, host)) {
        SSL_free(session);
        return nullptr;
    }
    SSL_set_connect_state(session);
    return session;
}

}  // namespace

TlsChannel::TlsChannel(platform::Socket socket, const Host& host) : link_{socket} {
    ERR_clear_error();
    session_ = MakeSession(link_, host);
}

TlsChannel::~TlsChannel() {
    // No close_notify is sent: the request is answered and the socket is
    // closed next; a server has nothing to learn from it.
    SSL_free(session_);
}

TlsChannel::Step TlsChannel::Handshake() {
    // OpenSSL's error queue belongs to the thread; what an earlier call left
    // there would be read as this call's failure.
    ERR_clear_error();
    const int result = SSL_connect(session_);
    if (result == 1)
        return Step::kDone;
    switch (SSL_get_error(session_, result)) {
        case SSL_ERROR_WANT_READ:
            return Step::kWantRead;
        case SSL_ERROR_WANT_WRITE:
            return Step::kWantWrite;
        default:
            break;
    }
    // The verification result stays X509_V_OK unless a certificate was
    // checked and refused: unknown issuer, self-signed, expired, another
    // host's name.
    failure_ =
        SSL_get_verify_result(session_) == X509_V_OK ? kTlsHandshakeFailed : kCertificateRejected;
    return Step::kFailed;
}

bool TlsChannel::Send(const char* data, std::size_t size) {
    ERR_clear_error();
    std::size_t written = 0;
    return SSL_write_ex(session_, data, size, &written) == 1 && written == size;
}

long TlsChannel::Receive(char* buffer, std::size_t size) {
    ERR_clear_error();
    std::size_t count = 0;
    const int result = SSL_read_ex(session_, buffer, size, &count);
    if (result == 1)
        return static_cast<long>(count);
    switch (SSL_get_error(session_, result)) {
        case SSL_ERROR_WANT_READ:
            return platform::kReceiveWouldBlock;
        case SSL_ERROR_ZERO_RETURN:
            return 0;
        default:
            return link_.ended ? kClosedUnconfirmed : -1;
    }
}
