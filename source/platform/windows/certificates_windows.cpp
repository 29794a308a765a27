// The trusted roots of the Windows "ROOT" store, for OpenSSL, which does not
// read the system's stores itself.
#include <windows.h>
// After windows.h, which it builds on.
#include <wincrypt.h>

#include "platform/platform.h"

namespace platform {

std::vector<std::string> SystemRootCertificates() {
    std::vector<std::string> certificates;
    // The current user's view: the machine's roots with what the user (or
    // policy) added or removed, which is what the system's own TLS trusts.
    const HCERTSTORE store = CertOpenSystemStoreW(0, L"ROOT");
    if (store == nullptr)
        return certificates;
    // Each call frees the previous context; the last one returns null.
    for (PCCERT_CONTEXT certificate = CertEnumCertificatesInStore(store, nullptr);
         certificate != nullptr; certificate = CertEnumCertificatesInStore(store, certificate)) {
        certificates.emplace_back(reinterpret_cast<const char*>(certificate->pbCertEncoded),
                                  certificate->cbCertEncoded);
    }
    CertCloseStore(store, 0);
    // Windows adds some roots only when its own TLS first needs them
    // (automatic root update), so a root no program has needed yet may be
    // missing: its servers are then refused, never trusted blindly.
    return certificates;
}

}  // namespace platform
