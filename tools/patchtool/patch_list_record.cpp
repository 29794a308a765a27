#include "patch_list_record.h"

#include <algorithm>

#include "engine/publisher_core.h"

bool FormatPatchListRecord(PackedVersion version, const std::string& url, bool stop,
                           const std::optional<Sha256Digest>& digest, std::string* line,
                           std::string* error) {
    if (url.find_first_of(" \t\r\n\v\f") != std::string::npos) {
        *error = "the URL holds white space, which would split the record";
        return false;
    }
    if (!ParseUrl(url)) {
        *error = "the URL is not of the form http[s]://host[:port]/path";
        return false;
    }
    // The updater stores the package under this name and refuses one that is
    // empty or could lead out of its download folder.
    if (!IsUsablePackageFileName(PackageFileName(url))) {
        *error = "the URL does not end in a plain file name for the package";
        return false;
    }
    *line = FormatVersion(version) + " " + url + " " +
            (stop ? kStopOption : kUnusedFieldPlaceholder) + " " +
            (digest ? FormatDigestField(*digest) : kUnusedFieldPlaceholder) + " " +
            kUnusedFieldPlaceholder;
    return true;
}

bool NamesOnePackageFile(std::string_view a, std::string_view b) {
    const auto folded = [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    };
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [&folded](char x, char y) { return folded(x) == folded(y); });
}
