#include "engine/list_trust.h"

std::string SignatureUrl(const std::string& listUrl) {
    return listUrl + ".sig";
}

ErrorCode SignatureFetchFailure(ErrorCode fetchCode) {
    if (fetchCode == kStatusNotAccepted || fetchCode == kResponseTooLarge)
        return kListNotTrusted;
    return fetchCode;
}

std::optional<Ed25519PublicKey> ListSigner(std::string_view list, std::string_view signatureText,
                                           const std::vector<Ed25519PublicKey>& trustedKeys) {
    const std::optional<Ed25519Signature> signature = ParseSignatureText(signatureText);
    if (!signature)
        return std::nullopt;
    return FindSigningKey(trustedKeys, list, *signature);
}

ErrorCode CheckRecordDigests(const std::vector<SelectedPatch>& records, bool digestsRequired) {
    for (const SelectedPatch& record : records) {
        if (record.digest.kind == PackageDigest::Kind::kMalformed)
            return kDigestMismatch;
        if (digestsRequired && record.digest.kind == PackageDigest::Kind::kNone)
            return kDigestMissing;
    }
    return kOk;
}
