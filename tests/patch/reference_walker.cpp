#include "reference_walker.h"

#include <algorithm>
#include <cstring>

#include "patch/entry_stream.h"

namespace reference {

namespace {

bool DiffRecordsValid(ByteView data, std::uint64_t* count) {
    DiffRecordReader reader(data);
    DiffRecord record;
    RecordStep step = RecordStep::kRecord;
    while ((step = reader.Next(&record)) == RecordStep::kRecord)
        ++*count;
    return step == RecordStep::kEnd;
}

}  // namespace

bool PiecewiseSource::Read(std::size_t max, ByteView* piece) {
    *piece = bytes_.subspan(offset_, std::min({max, piece_, bytes_.size() - offset_}));
    offset_ += piece->size();
    return true;
}

bool PiecewiseSource::Rewind() {
    offset_ = 0;
    return true;
}

WalkStep EntryWalker::Fail(EntryProblem problem) {
    problem_ = problem;
    return WalkStep::kMalformed;
}

std::optional<EntryKind> EntryWalker::failedKind() const {
    return problem_ == EntryProblem::kNone ? std::nullopt : kind_;
}

WalkStep EntryWalker::Next(PackageEntry* entry) {
    if (problem_ != EntryProblem::kNone)
        return WalkStep::kMalformed;
    if (ended_)
        return WalkStep::kEnd;
    entryOffset_ = reader_.offset();
    kind_.reset();

    std::uint32_t tag = 0;
    if (!reader_.ReadU32(&tag))
        return Fail(EntryProblem::kTruncated);
    if (tag == kEndTag) {
        ended_ = true;
        return WalkStep::kEnd;
    }
    kind_ = EntryKindOfTag(tag);
    if (kind_ && !knowsFileEntries_ &&
        (*kind_ == EntryKind::kCheck || *kind_ == EntryKind::kRemove))
        kind_.reset();
    if (!kind_)
        return Fail(EntryProblem::kUnknownTag);
    const EntryKind kind = *kind_;
    if (kind == EntryKind::kDelta && !deltaEntries_)
        return Fail(EntryProblem::kDeltaNotAllowed);
    if ((kind == EntryKind::kCheck || kind == EntryKind::kRemove) && !deltaEntries_)
        return Fail(EntryProblem::kKindNotAllowed);

    std::int32_t finalSize = 0;
    std::uint32_t nameLength = 0;
    ByteView nameField;
    std::uint32_t dataLength = 0;
    ByteView data;
    if (!reader_.ReadI32(&finalSize) || !reader_.ReadU32(&nameLength) ||
        !reader_.ReadBytes(nameLength, &nameField) || !reader_.ReadU32(&dataLength) ||
        !reader_.ReadBytes(dataLength, &data)) {
        return Fail(EntryProblem::kTruncated);
    }

    NameFieldScanner scanner;
    scanner.Feed(nameField);
    if (const EntryProblem nameProblem = scanner.Finish(); nameProblem != EntryProblem::kNone)
        return Fail(nameProblem);
    const std::string_view name(reinterpret_cast<const char*>(nameField.data()),
                                scanner.name().size());

    std::uint64_t records = 0;
    if (kind == EntryKind::kModify) {
        if (finalSize < 0)
            return Fail(EntryProblem::kNegativeFinalSize);
        if (!DiffRecordsValid(data, &records))
            return Fail(EntryProblem::kBadDiffRecords);
    }
    DeltaPreamble preamble;
    if (kind == EntryKind::kDelta && !ReadDeltaPreamble(data, &preamble))
        return Fail(EntryProblem::kBadDeltaHead);
    // A check entry holds the old and the new file's size and digest, a
    // remove entry nothing or the file it expects.
    const bool fieldsFit = kind == EntryKind::kCheck    ? data.size() == 80
                           : kind == EntryKind::kRemove ? data.empty() || data.size() == 40
                                                        : true;
    if (!fieldsFit)
        return Fail(EntryProblem::kBadFileFields);
    *entry = PackageEntry{kind, finalSize, name, data};
    return WalkStep::kEntry;
}

RecordStep DiffRecordReader::Next(DiffRecord* record) {
    if (reader_.remaining() == 0)
        return RecordStep::kEnd;
    std::int32_t seek = 0;
    std::uint32_t length = 0;
    ByteView bytes;
    if (!reader_.ReadI32(&seek) || !reader_.ReadU32(&length) ||
        !reader_.ReadBytes(length, &bytes)) {
        return RecordStep::kMalformed;
    }
    const std::int64_t position = position_ + seek;
    if (position < 0)
        return RecordStep::kMalformed;
    position_ = position + static_cast<std::int64_t>(length);
    *record = DiffRecord{position, bytes};
    return RecordStep::kRecord;
}

WalkReport WalkWholeBuffer(ByteView payload, bool deltaEntries, bool knowsFileEntries) {
    WalkReport report;
    EntryWalker walker(payload, deltaEntries, knowsFileEntries);
    PackageEntry entry;
    WalkStep step = WalkStep::kEntry;
    while ((step = walker.Next(&entry)) == WalkStep::kEntry) {
        std::uint64_t records = 0;
        if (entry.kind == EntryKind::kModify)
            DiffRecordsValid(entry.data, &records);
        report.entries.push_back(
            {entry.kind, std::string(entry.name), entry.finalSize, entry.data.size(), records});
    }
    report.problem = walker.problem();
    report.failedKind = walker.failedKind();
    if (step == WalkStep::kMalformed)
        report.failedOffset = walker.offset();
    else
        report.bytesAfterEnd = payload.size() - walker.offset() - sizeof(kEndTag);
    return report;
}

WalkReport WalkStreamed(ByteView payload, bool deltaEntries, std::size_t piece) {
    WalkReport report;
    PiecewiseSource source(payload, piece);
    const PayloadCheck check = CheckPayload(
        source, static_cast<std::uint32_t>(payload.size()), deltaEntries, {},
        [&report](const CheckedEntry& entry) {
            report.entries.push_back({entry.head.kind, entry.head.name, entry.head.finalSize,
                                      entry.dataLength, entry.records});
        });
    report.problem = check.problem;
    report.failedKind = check.malformedKind;
    report.failedOffset = check.malformedOffset;
    report.bytesAfterEnd = check.bytesAfterEnd;
    return report;
}

std::string Describe(const WalkReport& report) {
    std::string text = std::to_string(report.entries.size()) + " entries";
    for (const WalkReport::Entry& entry : report.entries) {
        text += "\n  " + std::to_string(static_cast<int>(entry.kind)) + " " + entry.name + " " +
                std::to_string(entry.finalSize) + " " + std::to_string(entry.dataLength) + " " +
                std::to_string(entry.records);
    }
    text += "\nproblem " + std::to_string(static_cast<int>(report.problem)) + " kind " +
            (report.failedKind ? std::to_string(static_cast<int>(*report.failedKind)) : "-") +
            " at " + std::to_string(report.failedOffset) + ", " +
            std::to_string(report.bytesAfterEnd) + " bytes after the end";
    return text;
}

}  // namespace reference
