#include "delta/suffix_index.h"

#include <gtest/gtest.h>

#include "delta_fixture.h"

using namespace testing_support;

namespace {

template <typename Index>
void ExpectLongestMatches(const std::string& oldBytes, const std::string& newBytes) {
    SuffixIndex<Index> index;
    ASSERT_TRUE(index.Build(View(oldBytes)));
    const auto* oldData = View(oldBytes).data();
    for (std::size_t at = 0; at < newBytes.size(); ++at) {
        const auto target = View(newBytes).subspan(at);
        std::size_t longest = 0;
        for (std::size_t start = 0; start < oldBytes.size(); ++start)
            longest =
                std::max(longest, CommonPrefix(oldData + start, target.data(),
                                               std::min(oldBytes.size() - start, target.size())));
        const OldMatch match = index.LongestMatch(target);
        ASSERT_EQ(match.length, longest) << at;
        ASSERT_EQ(CommonPrefix(oldData + match.oldOffset, target.data(), match.length),
                  match.length);
    }
}

// The builder's matches decide the delta's size, not whether it applies, so
// only a direct check shows a search that settles for shorter ones.
TEST(SuffixIndex, FindsTheLongestMatchWithBothIndexWidths) {
    // Few distinct bytes, so that suffixes share long prefixes and the search
    // has many near ties to get wrong.
    std::string oldBytes = RandomBytes(1500, 60);
    for (char& byte : oldBytes)
        byte = static_cast<char>('a' + (byte & 3));
    std::string newBytes = oldBytes.substr(700, 300) + "zz" + oldBytes.substr(100, 400) + "abca";
    newBytes[50] = 'q';
    ExpectLongestMatches<std::int32_t>(oldBytes, newBytes);
    ExpectLongestMatches<std::int64_t>(oldBytes, newBytes);
    ExpectLongestMatches<std::int32_t>("", "abc");
    ExpectLongestMatches<std::int64_t>("x", "xx");
}

}  // namespace
