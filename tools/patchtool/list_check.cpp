#include "list_check.h"

#include <optional>

#include "command_support.h"
#include "engine/publisher_core.h"
#include "patch_list_record.h"
#include "utf8_path.h"
#include "whole_file.h"

namespace fs = std::filesystem;

namespace {

class ReportBuilder {
  public:
    explicit ReportBuilder(ListCheckReport& report) : report_(report) {}

    void Ok(const std::string& subject, const std::string& what) {
        report_.lines.push_back({false, subject + ": ok: " + what});
    }
    void Failed(const std::string& subject, const std::string& why) {
        report_.lines.push_back({true, subject + ": FAILED: " + why});
        ++report_.failures;
    }
    void NotChecked(const std::string& subject, const std::string& why) {
        report_.lines.push_back({false, subject + ": not checked: " + why});
    }

  private:
    ListCheckReport& report_;
};

void CheckSignature(const std::string& list, const fs::path& listPath,
                    const std::vector<Ed25519PublicKey>& keys, ReportBuilder& report) {
    const std::string subject = Utf8Of(listPath) + ".sig";
    const fs::path signaturePath = PathFromUtf8(subject);
    const WholeFile read = ReadWholeFile(signaturePath, kSignatureFileCap);
    const std::optional<std::string>& text = read.content;
    if (!text) {
        report.Failed(subject, read.tooLarge ? "larger than a signature can be"
                                             : "missing or unreadable (patchtool sign makes it)");
        return;
    }
    const std::optional<Ed25519Signature> signature = ParseSignatureText(*text);
    if (!signature) {
        report.Failed(subject, "not a signature (the base64 text of 64 bytes)");
        return;
    }
    const std::optional<Ed25519PublicKey> signer = FindSigningKey(keys, list, *signature);
    if (!signer) {
        report.Failed(subject, "not made by the given key over this list");
        return;
    }
    report.Ok(subject, "signed by " + PublicKeyText(*signer));
}

// The package file names of the records checked so far, in list order.
using EarlierNames = std::vector<std::string>;

void CheckRecord(const PatchRecord& record, int number, const fs::path& packages,
                 EarlierNames& earlier, ReportBuilder& report, ListCheckReport& counts) {
    const std::string name = PackageFileName(std::string(record.url));
    earlier.push_back(name);
    const std::string subject = "record " + std::to_string(number) + " (" +
                                FormatVersion(record.version) + " " + std::string(record.url) + ")";
    const PackageDigest digest = ParseDigestField(record.digestField);
    if (digest.kind == PackageDigest::Kind::kNone) {
        report.Failed(subject, "no sha256= digest; an updater with trusted keys refuses it");
        return;
    }
    if (digest.kind == PackageDigest::Kind::kMalformed) {
        report.Failed(subject, "the digest field is not sha256= and 64 hex digits");
        return;
    }
    if (!IsUsablePackageFileName(name)) {
        report.Failed(subject, "the URL ends in no usable package file name");
        return;
    }
    for (std::size_t i = 0; i + 1 < earlier.size(); ++i) {
        if (NamesOnePackageFile(earlier[i], name)) {
            report.Failed(subject,
                          "its package file " + name + " is record " + std::to_string(i + 1) +
                              "'s too; the later download would replace the earlier package");
            return;
        }
    }
    const fs::path package = packages / PathFromUtf8(name);
    std::error_code error;
    if (!fs::exists(package, error)) {
        report.NotChecked(subject, "no package " + Utf8Of(package));
        ++counts.packagesNotAtHand;
        return;
    }
    const std::optional<Sha256Digest> actual = DigestOfFile(Utf8Of(package));
    if (!actual) {
        report.Failed(subject, "cannot read " + Utf8Of(package));
    } else if (*actual != digest.sha256) {
        report.Failed(subject,
                      Utf8Of(package) + " has sha256=" + Sha256Hex(*actual) + ", not the record's");
    } else {
        report.Ok(subject, "sha256 of " + Utf8Of(package) + " matches");
        ++counts.digestsMatched;
    }
}

}  // namespace

ListCheckReport CheckSignedList(const std::string& list, const fs::path& listPath,
                                const std::vector<Ed25519PublicKey>& keys,
                                const fs::path& packages) {
    ListCheckReport result;
    ReportBuilder report(result);
    CheckSignature(list, listPath, keys, report);
    PatchRecordReader records(list);
    PatchRecord record;
    EarlierNames names;
    for (int number = 1; records.Next(record); ++number)
        CheckRecord(record, number, packages, names, report, result);
    return result;
}
