#include "support/test_certificates.h"

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace testing_support {
namespace {

#ifndef _WIN32
std::string Quoted(const std::filesystem::path& path) {
    return "'" + path.string() + "'";
}
#endif

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

#ifdef _WIN32
// Named with their drive: a child that starts on another drive still finds
// the CA through SSL_CERT_FILE.
TestCertificates::TestCertificates()
    : folder_(std::filesystem::absolute(TempBase() / "shared-certs")) {
    if (!std::filesystem::exists(CaFile()))
        throw std::runtime_error("no test certificates in " + folder_.string() +
                                 ": the test_servers fixture makes them; run the test with ctest");
}
#else
TestCertificates::TestCertificates() : made_(std::in_place), folder_(made_->path()) {
    const std::filesystem::path log = folder_ / "make-test-certs.log";
    const std::string command = Quoted(UPDATER_MAKE_TEST_CERTS_SCRIPT) + " " + Quoted(folder_) +
                                " >" + Quoted(log) + " 2>&1";
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error("make-test-certs failed: " + ReadFileBytes(log));
}
#endif

CertificateFiles TestCertificates::Server(ServerCertificate which) const {
    const std::string name = BaseName(which);
    return {folder_ / (name + ".pem"), folder_ / (name + ".key")};
}

const TestCertificates& TrustedTestCertificates() {
    static const TestCertificates certificates;
#ifdef _WIN32
    static const bool trusted =
        _putenv_s("SSL_CERT_FILE", certificates.CaFile().string().c_str()) == 0;
#else
    static const bool trusted = setenv("SSL_CERT_FILE", certificates.CaFile().c_str(), 1) == 0;
#endif
    if (!trusted)
        throw std::runtime_error("cannot set SSL_CERT_FILE");
    return certificates;
}

}  // namespace testing_support
