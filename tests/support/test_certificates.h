// A certificate authority and server certificates for HTTPS tests, made
// fresh by tests/support/make-test-certs (the `openssl` command) into a
// temporary folder; no key is kept in the repository.
//
// The updater reads its trust store once per process, at its first HTTPS
// exchange, from the system's store, where SSL_CERT_FILE replaces the file.
// So a test process makes its certificates once, through
// TrustedTestCertificates(), before its first HTTPS exchange; every HTTPS
// server of the process then serves one of them (NginxServer with
// NginxTls{...Server(kind)}), and children started afterwards (an
// update-console, say) inherit the trust. A typical test:
//
//   const auto& certificates = testing_support::TrustedTestCertificates();
//   NginxServer nginx(root, {NginxTls{certificates.Server(ServerCertificate::kLoopback)}});
//   HttpGet({nginx.Url("/p.bin"), ...}, response);  // "https://127.0.0.1:<port>/p.bin"
//
// Shell scripts (the demo, the benchmarks) call make-test-certs directly and
// pass ca.pem in SSL_CERT_FILE.
//
// A Windows test program, which runs under Wine, cannot run make-test-certs:
// there ctest's test_servers fixture makes the certificates once, in the
// folder shared-certs below UPDATER_TEST_TMP (see support/test-servers), and
// TestCertificates names those files.
#pragma once

#include <filesystem>
#include <optional>

#include "support/temp_dir.h"

namespace testing_support {

// A server's certificate and private key, PEM files.
struct CertificateFiles {
    std::filesystem::path certificate;
    std::filesystem::path key;
};

// The server certificates there are; "loopback" means the names 127.0.0.1
// and ::1 (IP address entries) and localhost (a DNS entry).
enum class ServerCertificate {
    kLoopback,    // by the test CA, for loopback, valid now: the good one
    kOtherHost,   // by the test CA, only for updates.other.invalid
    kExpired,     // by the test CA, for loopback, expired in 2020
    kSelfSigned,  // for loopback, signed by its own key
    kUnknownCa,   // for loopback, by a CA no one trusts (an attacker's own)
};

class TestCertificates {
  public:
    // Makes the CA and every server certificate (on Windows, finds those of
    // the fixture); throws std::runtime_error when make-test-certs fails (when
    // the fixture's are missing).
    TestCertificates();
    TestCertificates(const TestCertificates&) = delete;
    TestCertificates& operator=(const TestCertificates&) = delete;

    // The test CA's certificate, to be trusted.
    std::filesystem::path CaFile() const { return folder_ / "ca.pem"; }
    CertificateFiles Server(ServerCertificate which) const;

  private:
    std::optional<TempDir> made_;  // the folder made for this object, if one was
    std::filesystem::path folder_;
};

// This process's certificates, made at the first call, which also sets
// SSL_CERT_FILE to their CA so that this process (from its first HTTPS
// exchange on) and the processes it starts trust it. Call it before the
// process's first HTTPS exchange. Kept to the end of the process.
const TestCertificates& TrustedTestCertificates();

}  // namespace testing_support
