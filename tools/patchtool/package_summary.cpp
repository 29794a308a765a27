#include "package_summary.h"

#include <cstdio>

#include "tree_scan.h"

namespace {

std::string Hex32(std::uint32_t value) {
    char text[11];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::size_t CountRecords(ByteView data) {
    DiffRecordReader reader(data);
    DiffRecord record;
    std::size_t count = 0;
    while (reader.Next(&record) == RecordStep::kRecord)
        ++count;
    return count;
}

EntrySummary Summarize(const PackageEntry& entry) {
    EntrySummary summary;
    summary.kind = entry.kind;
    summary.name = std::string(entry.name);
    summary.dataLength = static_cast<std::uint32_t>(entry.data.size());
    DeltaPreamble preamble;
    if (entry.kind == EntryKind::kModify) {
        summary.finalSize = entry.finalSize;
        summary.records = CountRecords(entry.data);
    } else if (entry.kind == EntryKind::kDelta && ReadDeltaPreamble(entry.data, &preamble)) {
        summary.finalSize = static_cast<std::int64_t>(preamble.newSize);
        summary.oldSize = preamble.oldSize;
    } else {
        summary.finalSize = static_cast<std::int64_t>(entry.data.size());
    }
    return summary;
}

bool ReadHeader(ByteView bytes, PackageSummary* summary, std::string* error) {
    if (bytes.size() < kPackageHeaderSize) {
        *error = "shorter than the " + std::to_string(kPackageHeaderSize) + "-byte header";
        return false;
    }
    if (!ReadPackageHeader(bytes, &summary->header)) {
        std::uint32_t magic = 0;
        LittleEndianReader(bytes).ReadU32(&magic);
        *error = "unknown magic " + Hex32(magic) + " (not a package, or a damaged one)";
        return false;
    }
    summary->headerRead = true;
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
    }
    return "unknown problem";
}

bool SummarizePackage(ByteView bytes, PackageSummary* summary, std::string* error) {
    *summary = PackageSummary{};
    summary->fileSize = bytes.size();
    if (!ReadHeader(bytes, summary, error))
        return false;

    ByteBuffer payload;
    if (!DecompressPayload(summary->header.codec, bytes.subspan(kPackageHeaderSize),
                           summary->header.unpackedSize, &payload)) {
        *error = "the payload does not unpack to the announced " +
                 std::to_string(summary->header.unpackedSize) + " bytes (damaged or truncated)";
        return false;
    }
    EntryWalker walker(payload.view(), CodecOf(summary->header.codec).deltaEntries);
    PackageEntry entry;
    WalkStep step;
    while ((step = walker.Next(&entry)) == WalkStep::kEntry) {
        summary->entries.push_back(Summarize(entry));
    }
    if (step == WalkStep::kMalformed) {
        *error = "entry " + std::to_string(summary->entries.size() + 1) + " at payload offset " +
                 std::to_string(walker.offset()) + ": " + DescribeEntryProblem(walker.problem());
        return false;
    }
    summary->bytesAfterEnd = payload.size() - walker.offset() - sizeof(kEndTag);
    return true;
}

bool SummarizePackageFile(const std::filesystem::path& file, PackageSummary* summary,
                          std::string* error) {
    std::string bytes;
    if (!ReadWholeFile(file, &bytes, error))
        return false;
    const ByteView view(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return SummarizePackage(view, summary, error);
}
