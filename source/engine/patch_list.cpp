#include "engine/patch_list.h"

#include <optional>

#include "vocabulary/c_space.h"

PackageDigest ParseDigestField(std::string_view field) {
    if (field.substr(0, kSha256FieldPrefix.size()) != kSha256FieldPrefix)
        return {};
    const std::optional<Sha256Digest> digest =
        ParseSha256Hex(field.substr(kSha256FieldPrefix.size()));
    if (!digest)
        return {PackageDigest::Kind::kMalformed, {}};
    return {PackageDigest::Kind::kSha256, *digest};
}

std::string FormatDigestField(const Sha256Digest& digest) {
    return std::string(kSha256FieldPrefix) + Sha256Hex(digest);
}

// A read at the end of the text fails, yields an empty token and ends the
// walk, as a failed stream read would.
std::string_view PatchRecordReader::NextToken() {
    while (pos_ < text_.size() && IsCSpace(text_[pos_]))
        ++pos_;
    if (pos_ == text_.size()) {
        ended_ = true;
        return {};
    }
    const std::size_t start = pos_;
    while (pos_ < text_.size() && !IsCSpace(text_[pos_]))
        ++pos_;
    return text_.substr(start, pos_ - start);
}

bool PatchRecordReader::Next(PatchRecord& record) {
    while (!ended_) {
        int numbers[3];
        if (ScanVersionNumbers(NextToken(), numbers) != 3)
            continue;
        record.version = PackVersion(numbers[0], numbers[1], numbers[2]);
        record.url = NextToken();
        record.options = NextToken();
        record.digestField = NextToken();
        NextToken();  // a field this updater does not use
        record.stop = record.options.find("-r") != std::string_view::npos;
        return true;
    }
    return false;
}

PatchSelection ParsePatchList(PackedVersion installedVersion, std::string_view text) {
    PatchSelection selection;
    PatchRecordReader records(text);
    PatchRecord record;
    while (!selection.rerunRequired && records.Next(record)) {
        if (record.version <= installedVersion)
            continue;
        selection.rerunRequired = record.stop;
        selection.selectedPatches.push_back(SelectedPatch{record.version, std::string(record.url),
                                                          ParseDigestField(record.digestField)});
    }
    return selection;
}
