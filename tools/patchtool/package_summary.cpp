#include "package_summary.h"

#include <cstdio>

#include "engine/publisher_core.h"
#include "utf8_path.h"

namespace {

std::string Hex32(std::uint32_t value) {
    char text[11];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

EntrySummary Summarize(const CheckedEntry& entry) {
    EntrySummary summary;
    summary.kind = entry.head.kind;
    summary.name = entry.head.name;
    summary.dataLength = entry.dataLength;
    summary.records = static_cast<std::size_t>(entry.records);
    if (entry.head.kind == EntryKind::kModify) {
        summary.finalSize = entry.head.finalSize;
    } else if (entry.checkFields) {
        summary.oldFile = entry.checkFields->oldFile;
        summary.newFile = entry.checkFields->newFile;
        summary.finalSize = static_cast<std::int64_t>(summary.newFile->size);
        summary.oldSize = summary.oldFile->size;
    } else if (entry.head.kind == EntryKind::kRemove) {
        summary.oldFile = entry.expected;
        summary.oldSize = entry.expected ? entry.expected->size : 0;
        summary.finalSize = 0;
    } else if (entry.preamble) {
        summary.finalSize = static_cast<std::int64_t>(entry.preamble->newSize);
        summary.oldSize = entry.preamble->oldSize;
    } else {
        summary.finalSize = entry.dataLength;
    }
    return summary;
}

// The header as opened; false, with the message, when it was not.
bool HeaderOpened(const OpenedPackage& package, const std::string& fileName,
                  PackageSummary* summary, std::string* error) {
    switch (package.opening) {
        case PackageOpening::kUnreadable:
            *error = "cannot open '" + fileName + "'";
            return false;
        case PackageOpening::kShortHeader:
            *error = "shorter than the " + std::to_string(kPackageHeaderSize) + "-byte header";
            return false;
        case PackageOpening::kUnknownMagic:
            *error = "unknown magic " + Hex32(package.magic) + " (not a package, or a damaged one)";
            return false;
        default:
            summary->header = package.header;
            summary->headerRead = true;
            return true;
    }
}

std::string UnpackError(const PackageHeader& header) {
    const PayloadCodec& codec = CodecOf(header.codec);
    if (!codec.inThisBuild)
        return std::string("packed with ") + codec.name + ", which this build leaves out";
    return "the payload does not unpack to the announced " + std::to_string(header.unpackedSize) +
           " bytes (damaged or truncated)";
}

// Reads the opened package's payload through the updater's checking pass.
bool SummarizeOpened(OpenedPackage& package, const std::string& fileName, PackageSummary* summary,
                     std::string* error) {
    *summary = PackageSummary{};
    summary->fileSize = package.size;
    if (!HeaderOpened(package, fileName, summary, error))
        return false;
    if (!package.payload) {
        *error = UnpackError(summary->header);
        return false;
    }
    const PayloadCheck check = CheckPayload(
        *package.payload, summary->header.unpackedSize, CodecOf(summary->header.codec).deltaEntries,
        {}, [summary](const CheckedEntry& entry) { summary->entries.push_back(Summarize(entry)); });
    // A damaged stream is told as one, before anything its entries showed.
    if (!check.intact) {
        summary->entries.clear();
        *error = UnpackError(summary->header);
        return false;
    }
    if (check.malformed) {
        *error = "entry " + std::to_string(summary->entries.size() + 1) + " at payload offset " +
                 std::to_string(check.malformedOffset) + ": " + DescribeEntryProblem(check.problem);
        return false;
    }
    summary->bytesAfterEnd = check.bytesAfterEnd;
    return true;
}

}  // namespace

const char* DescribeEntryProblem(EntryProblem problem) {
    switch (problem) {
        case EntryProblem::kNone:
            return "no problem";
        case EntryProblem::kTruncated:
            return "a field, the name or the data runs past the payload";
        case EntryProblem::kUnknownTag:
            return "unknown entry tag";
        case EntryProblem::kUnterminatedName:
            return "the name field holds no zero byte";
        case EntryProblem::kBytesAfterName:
            return "the name field holds a non-zero byte after the name's zero byte";
        case EntryProblem::kNameTooLong:
            return "the name is longer than 65535 bytes";
        case EntryProblem::kUnsafeName:
            return "the name would reach outside the installation";
        case EntryProblem::kBadDiffRecords:
            return "a diff record runs past the data or before the start of the file";
        case EntryProblem::kNegativeFinalSize:
            return "negative final size";
        case EntryProblem::kDeltaNotAllowed:
            return "a delta entry in a package whose codec does not allow them";
        case EntryProblem::kBadDeltaHead:
            return "a delta entry's sizes and digests are cut short or disagree with its delta";
        case EntryProblem::kKindNotAllowed:
            return "a check or remove entry in a package whose codec does not allow them";
        case EntryProblem::kBadFileFields:
            return "a check or remove entry's sizes and digests have the wrong length";
    }
    return "unknown problem";
}

bool SummarizePackage(ByteView bytes, PackageSummary* summary, std::string* error) {
    OpenedPackage package = OpenPackageBytes(bytes);
    return SummarizeOpened(package, "", summary, error);
}

bool SummarizePackageFile(const std::filesystem::path& file, PackageSummary* summary,
                          std::string* error) {
    OpenedPackage package = OpenPackageFile(Utf8Of(file));
    return SummarizeOpened(package, Utf8Of(file), summary, error);
}
