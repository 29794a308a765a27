// The old file's suffixes in sorted order, for finding where in the old file
// a run of new bytes occurs at its longest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

struct OldMatch {
    std::size_t length = 0;     // bytes in common; 0 when nothing matches
    std::size_t oldOffset = 0;  // where they start in the old file
};

// Index is std::int32_t for old files below 2 GiB (half the memory) and
// std::int64_t beyond; libdivsufsort sorts each width.
template <typename Index>
class SuffixIndex {
  public:
    // Keeps a view of `oldBytes`, which must outlive the index. Returns false
    // when the suffixes could not be sorted (memory exhausted).
    bool Build(std::span<const std::uint8_t> oldBytes);

    // The longest prefix of `target` that occurs in the old file, and one
    // place where it does.
    OldMatch LongestMatch(std::span<const std::uint8_t> target) const;

  private:
    std::span<const std::uint8_t> old_;
    std::vector<Index> suffixes_;
};

// How many bytes `a` and `b` share from their start, looking at `limit` at most.
std::size_t CommonPrefix(const std::uint8_t* a, const std::uint8_t* b, std::size_t limit);
