// What a run trusts of a patch list before it fetches anything the list
// names: the publisher's signature over the list's exact bytes, served beside
// it as LIST_URL + ".sig", and the package digests of the records it takes.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/patch_list.h"
#include "trust/ed25519.h"
#include "vocabulary/error_codes.h"

// A detached signature is 88 characters of base64; anything that needs more
// than this is not one, however long the server would go on sending.
inline constexpr std::size_t kSignatureFileCap = 4 * 1024;

// Where the signature of the list at `listUrl` is served.
std::string SignatureUrl(const std::string& listUrl);

// The run's code for a signature that could not be fetched with `fetchCode`:
// a server that answers but has no signature to give (not "200 OK"), or
// sends more than a signature can be, has no trusted list (kListNotTrusted);
// a network that failed keeps its own code, which says what to repair.
ErrorCode SignatureFetchFailure(ErrorCode fetchCode);

// The key among `trustedKeys` that signed `list`, judged by the signature
// file's text; nothing when the text is no signature or none of them made it.
std::optional<Ed25519PublicKey> ListSigner(std::string_view list, std::string_view signatureText,
                                           const std::vector<Ed25519PublicKey>& trustedKeys);

// kOk when every record may be fetched; otherwise the code that refuses the
// first that may not, in list order: one whose digest field is malformed
// (kDigestMismatch: it can match no package), or, where `digestsRequired`, one
// without a digest (kDigestMissing). Checked before anything is downloaded,
// so a refused list leaves the download folder as it was.
ErrorCode CheckRecordDigests(const std::vector<SelectedPatch>& records, bool digestsRequired);
