#include "support/test_certificates.h"

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace testing_support {
namespace {

std::string Quoted(const std::filesystem::path& path) {
    return "'" + path.string() + "'";
}

const char* BaseName(ServerCertificate which) {
    switch (which) {
        case ServerCertificate::kLoopback:
            return "loopback";
        case ServerCertificate::kOtherHost:
            return "other-host";
        case ServerCertificate::kExpired:
            return "expired";
        case ServerCertificate::kSelfSigned:
            return "self-signed";
        case ServerCertificate::kUnknownCa:
            return "unknown-ca";
    }
    return "";
}

}  // namespace

TestCertificates::TestCertificates() {
    const std::filesystem::path log = folder_ / "make-test-certs.log";
    const std::string command = Quoted(UPDATER_MAKE_TEST_CERTS_SCRIPT) + " " +
                                Quoted(folder_.path()) + " >" + Quoted(log) + " 2>&1";
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error("make-test-certs failed: " + ReadFileBytes(log));
}

CertificateFiles TestCertificates::Server(ServerCertificate which) const {
    const std::string name = BaseName(which);
    return {folder_ / (name + ".pem"), folder_ / (name + ".key")};
}

const TestCertificates& TrustedTestCertificates() {
    static const TestCertificates certificates;
    static const bool trusted = setenv("SSL_CERT_FILE", certificates.CaFile().c_str(), 1) == 0;
    if (!trusted)
        throw std::runtime_error("cannot set SSL_CERT_FILE");
    return certificates;
}

}  // namespace testing_support
