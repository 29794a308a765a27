#include "delta/suffix_index.h"

#include <divsufsort.h>
#include <divsufsort64.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <new>

std::size_t CommonPrefix(const std::uint8_t* a, const std::uint8_t* b, std::size_t limit) {
    // Eight bytes at a time: on repetitive files the common prefixes run to
    // many kilobytes, and the search compares them again and again.
    std::size_t i = 0;
    for (; i + 8 <= limit; i += 8) {
        std::uint64_t x = 0;
        std::uint64_t y = 0;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        if (x != y) {
            if constexpr (std::endian::native == std::endian::little)
                return i + static_cast<std::size_t>(__builtin_ctzll(x ^ y)) / 8;
            break;
        }
    }
    while (i < limit && a[i] == b[i])
        ++i;
    return i;
}

template <typename Index>
bool SuffixIndex<Index>::Build(std::span<const std::uint8_t> oldBytes) {
    old_ = oldBytes;
    suffixes_.clear();
    if (oldBytes.empty())
        return true;
    if (oldBytes.size() > static_cast<std::size_t>(std::numeric_limits<Index>::max()))
        return false;
    try {
        suffixes_.resize(oldBytes.size());
    } catch (const std::bad_alloc&) {
        return false;
    }
    int status = 0;
    if constexpr (sizeof(Index) == 4)
        status = divsufsort(oldBytes.data(), suffixes_.data(), static_cast<Index>(oldBytes.size()));
    else
        status =
            divsufsort64(oldBytes.data(), suffixes_.data(), static_cast<Index>(oldBytes.size()));
    if (status != 0) {
        suffixes_.clear();
        return false;
    }
    return true;
}

template <typename Index>
OldMatch SuffixIndex<Index>::LongestMatch(std::span<const std::uint8_t> target) const {
    if (suffixes_.empty() || target.empty())
        return {};
    // Binary search for where the target would sort. Every suffix between the
    // two bounds shares at least the shorter of the bounds' common prefixes
    // with the target, so comparisons start behind it.
    auto common = [&](std::size_t rank, std::size_t skip) {
        const std::size_t start = static_cast<std::size_t>(suffixes_[rank]);
        const std::size_t limit = std::min(old_.size() - start, target.size());
        return skip + CommonPrefix(old_.data() + start + skip, target.data() + skip, limit - skip);
    };
    std::size_t low = 0;
    std::size_t high = suffixes_.size() - 1;
    std::size_t lowCommon = common(low, 0);
    std::size_t highCommon = common(high, 0);
    while (high - low > 1) {
        const std::size_t middle = low + (high - low) / 2;
        const std::size_t same = common(middle, std::min(lowCommon, highCommon));
        const std::size_t start = static_cast<std::size_t>(suffixes_[middle]);
        // The suffix sorts before the target when it ends inside the common
        // part or has the smaller byte where they differ.
        const bool before = same == old_.size() - start ||
                            (same < target.size() && old_[start + same] < target[same]);
        if (before) {
            low = middle;
            lowCommon = same;
        } else {
            high = middle;
            highCommon = same;
        }
    }
    if (lowCommon >= highCommon)
        return {lowCommon, static_cast<std::size_t>(suffixes_[low])};
    return {highCommon, static_cast<std::size_t>(suffixes_[high])};
}

template class SuffixIndex<std::int32_t>;
template class SuffixIndex<std::int64_t>;
