#include "file_diff.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

struct ByteRange {
    std::size_t start = 0;
    std::size_t end = 0;
};

// Compares the old and the new file a word at a time where it can; the byte
// of the old file beyond its end counts as zero.
class FileComparison {
  public:
    FileComparison(std::string_view oldBytes, std::string_view newBytes)
        : old_(oldBytes), new_(newBytes) {}

    std::size_t size() const { return new_.size(); }

    bool Differs(std::size_t i) const {
        const char before = i < old_.size() ? old_[i] : '\0';
        return new_[i] != before;
    }

    // The first index at or after `i` whose byte changed, or size().
    std::size_t NextDifference(std::size_t i) const {
        const std::size_t common = std::min(old_.size(), new_.size());
        while (i + sizeof(std::uint64_t) <= common &&
               std::memcmp(old_.data() + i, new_.data() + i, sizeof(std::uint64_t)) == 0) {
            i += sizeof(std::uint64_t);
        }
        while (i < common && !Differs(i))
            ++i;
        if (i < common)
            return i;
        // Beyond the old end, only non-zero bytes are changes.
        const std::size_t found = new_.find_first_not_of('\0', i);
        return found == std::string_view::npos ? new_.size() : found;
    }

    // The first index at or after `i` whose byte did not change, or size().
    std::size_t NextSame(std::size_t i) const {
        while (i < new_.size() && Differs(i))
            ++i;
        return i;
    }

  private:
    std::string_view old_;
    std::string_view new_;
};

// The changed ranges, neighbours merged when the unchanged gap between them
// costs fewer bytes than the header of a second record.
std::vector<ByteRange> ChangedRanges(const FileComparison& comparison) {
    std::vector<ByteRange> ranges;
    std::size_t i = 0;
    while ((i = comparison.NextDifference(i)) < comparison.size()) {
        // Byte i is known to differ, so every range moves the scan forward.
        const std::size_t end = comparison.NextSame(i + 1);
        if (!ranges.empty() && i - ranges.back().end < kDiffRecordHeaderSize) {
            ranges.back().end = end;
        } else {
            ranges.push_back({i, end});
        }
        i = end;
    }
    return ranges;
}

}  // namespace

bool DiffFile(std::string_view oldBytes, std::string_view newBytes,
              std::vector<DiffRecordSource>* records) {
    records->clear();
    if (newBytes.size() > kLargestModifiableFile)
        return false;
    std::size_t position = 0;
    for (const ByteRange& range : ChangedRanges(FileComparison(oldBytes, newBytes))) {
        // Both ends lie inside the new file, so the seek fits 32 bits.
        const auto seek = static_cast<std::int32_t>(range.start - position);
        records->push_back(
            {seek, std::string(newBytes.substr(range.start, range.end - range.start))});
        position = range.end;
    }
    return true;
}
