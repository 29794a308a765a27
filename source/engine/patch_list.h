// The patch list: a plain text of records, five white-space separated tokens
// each — version (major.minor.build), package URL, options, the package's
// digest, and a fifth field this updater reads and ignores. Records newer than
// the installed version are selected in the order of the text; an options
// token holding "-r" makes the record a stop record, after which nothing more
// is read in this run.
//
// The digest field is "sha256=" and the package's SHA-256 in 64 hex digits
// (either case). "-", or anything else not starting with "sha256=" (older
// lists hold whatever their tools wrote there), means the record carries no
// digest; an updater that knows nothing of digests reads the field and
// ignores it, as it always did.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "trust/sha256.h"
#include "vocabulary/packed_version.h"

// What a record's digest field says.
struct PackageDigest {
    enum class Kind {
        kNone,       // no digest: "-", or a field of some other kind
        kSha256,     // `sha256` holds the package's digest
        kMalformed,  // "sha256=" followed by anything but 64 hex digits
    };
    Kind kind = Kind::kNone;
    Sha256Digest sha256{};

    bool operator==(const PackageDigest&) const = default;
};

inline constexpr std::string_view kSha256FieldPrefix = "sha256=";

PackageDigest ParseDigestField(std::string_view field);
// "sha256=" and the digest in lower-case hex: what the publisher's tool writes.
std::string FormatDigestField(const Sha256Digest& digest);

// A record the selection took: the version its package brings the
// installation to, the package's URL and the digest its record carries.
struct SelectedPatch {
    PackedVersion version = 0;
    std::string url;
    PackageDigest digest{};

    bool operator==(const SelectedPatch&) const = default;
};

// One record as the text holds it, its tokens pointing into the text.
struct PatchRecord {
    PackedVersion version = 0;
    std::string_view url;
    std::string_view options;
    std::string_view digestField;
    bool stop = false;  // the options hold "-r"
};

// Walks the records of a patch list the way a C++ input stream reads them:
// a token that is not a version is skipped on its own; a version takes the
// next four tokens, whatever they are and wherever the lines break, and a
// record cut short by the end of the text gets empty tokens. Linear in the
// text's length.
class PatchRecordReader {
  public:
    explicit PatchRecordReader(std::string_view text) : text_(text) {}

    // The next record; false at the end of the text.
    bool Next(PatchRecord& record);

  private:
    std::string_view NextToken();

    std::string_view text_;
    std::size_t pos_ = 0;
    bool ended_ = false;
};

// What a patch list selects for an installation.
struct PatchSelection {
    // The records newer than the installed version, in the order of the text,
    // duplicates kept; applied in this order.
    std::vector<SelectedPatch> selectedPatches;
    // A stop record was taken: the run ends after it, and the update-needed
    // flag stays set so that the next start fetches the records after it.
    bool rerunRequired = false;
};

// Selects the records of `text` newer than `installedVersion`, up to and
// including the first stop record among them. Never fails; runs in time
// linear in the text's length.
PatchSelection ParsePatchList(PackedVersion installedVersion, std::string_view text);
