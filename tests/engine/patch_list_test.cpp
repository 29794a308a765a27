#include "engine/patch_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr PackedVersion V(int major, int minor, int build) {
    return PackVersion(major, minor, build);
}

class PatchListParse : public ::testing::Test {
  protected:
    // The selected patches; whether it took a stop record is kept in rerun_.
    std::vector<SelectedPatch> Parse(PackedVersion installed, std::string_view text) {
        PatchSelection selection = ParsePatchList(installed, text);
        rerun_ = selection.rerunRequired;
        return selection.selectedPatches;
    }

    bool rerun_ = false;
};

TEST_F(PatchListParse, SelectsNewerRecordsInTextOrder) {
    const auto list = Parse(V(1, 0, 2),
                            "1.0.1 http://h/p101.pak x a b\n"
                            "1.0.2 http://h/p102.pak x a b\n"
                            "1.0.3 http://h/p103.pak x a b\n"
                            "1.1.0 http://h/p110.pak x a b\n");
    EXPECT_EQ(list, (std::vector<SelectedPatch>{{V(1, 0, 3), "http://h/p103.pak"},
                                                {V(1, 1, 0), "http://h/p110.pak"}}));
    EXPECT_FALSE(rerun_);
}

TEST_F(PatchListParse, KeepsTextOrderAndDuplicates) {
    EXPECT_EQ(
        Parse(V(1, 0, 0), "1.1.0 u1 - - -  1.0.3 u2 - - -  1.0.3 u3 - - -"),
        (std::vector<SelectedPatch>{{V(1, 1, 0), "u1"}, {V(1, 0, 3), "u2"}, {V(1, 0, 3), "u3"}}));
}

TEST_F(PatchListParse, AnyWhiteSpaceSeparatesTokens) {
    EXPECT_EQ(Parse(V(1, 0, 0), "1.0.1\tu1\r\n-\v-\f-\n\n\n1.0.2 u2\n-\n-\n-"),
              (std::vector<SelectedPatch>{{V(1, 0, 1), "u1"}, {V(1, 0, 2), "u2"}}));
}

TEST_F(PatchListParse, StopRecordEndsTheListAndSetsRerun) {
    const auto list = Parse(V(1, 0, 0), "1.0.1 u1 x a b 1.0.2 u2 opt-rx a b 1.0.3 u3 x a b");
    EXPECT_EQ(list, (std::vector<SelectedPatch>{{V(1, 0, 1), "u1"}, {V(1, 0, 2), "u2"}}));
    EXPECT_TRUE(rerun_);
}

TEST_F(PatchListParse, StopOptionOnOlderRecordHasNoEffect) {
    const auto list = Parse(V(1, 0, 5), "1.0.1 u1 -r a b 1.0.6 u6 x a b");
    EXPECT_EQ(list, (std::vector<SelectedPatch>{{V(1, 0, 6), "u6"}}));
    EXPECT_FALSE(rerun_);
}

TEST_F(PatchListParse, OtherMinusOptionsDoNotStop) {
    const auto list = Parse(V(1, 0, 0), "1.0.1 u1 -R-x-- a b 1.0.2 u2 -q a b");
    EXPECT_EQ(list.size(), 2u);
    EXPECT_FALSE(rerun_);
}

TEST_F(PatchListParse, NonRecordTokensAreSkippedOneByOne) {
    // A heading is skipped; a version token with a prefix (a byte-order mark)
    // is no record start, and its fields are skipped the same way.
    const auto list = Parse(V(1, 0, 0),
                            "# Patches for the application\n"
                            "\xEF\xBB\xBF"
                            "1.0.1 u1 x a b\n"
                            "1.0.2x u2 x a b\n");
    EXPECT_EQ(list, (std::vector<SelectedPatch>{{V(1, 0, 2), "u2"}}));
}

TEST_F(PatchListParse, SkippedTokenMayItselfLookLikeAVersion) {
    // "1.2" is no version; the next token is examined on its own.
    EXPECT_EQ(Parse(V(0, 0, 1), "1.2 2.0.0 u x a b"),
              (std::vector<SelectedPatch>{{V(2, 0, 0), "u"}}));
}

TEST_F(PatchListParse, RecordCutShortByTheEndKeepsWhatWasRead) {
    EXPECT_EQ(Parse(V(1, 0, 0), "1.0.1"), (std::vector<SelectedPatch>{{V(1, 0, 1), ""}}));
    EXPECT_EQ(Parse(V(1, 0, 0), "1.0.1 u1"), (std::vector<SelectedPatch>{{V(1, 0, 1), "u1"}}));
    EXPECT_EQ(Parse(V(1, 0, 0), "1.0.1 u1 x a b"),
              (std::vector<SelectedPatch>{{V(1, 0, 1), "u1"}}));
    EXPECT_TRUE(Parse(V(1, 0, 0), "").empty());
    EXPECT_TRUE(Parse(V(1, 0, 0), " \n\t ").empty());
}

TEST_F(PatchListParse, ComparesUnsignedAgainstTheInstalledVersionOnly) {
    // 255.x packs above every smaller major even though -1 was written.
    EXPECT_EQ(Parse(V(200, 0, 0), "-1.0.0 u x a b"),
              (std::vector<SelectedPatch>{{V(255, 0, 0), "u"}}));
    EXPECT_EQ(Parse(V(1, 0, 0), "99999999999.0.0 u x a b").size(),
              (static_cast<unsigned>(99999999999LL & 0xFF) << 24) > V(1, 0, 0) ? 1u : 0u);
}

TEST_F(PatchListParse, FourthFieldCarriesThePackageDigest) {
    const Sha256Digest digest = Sha256Of("package");
    const std::string hex = Sha256Hex(digest);
    std::string upper = hex;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const PackageDigest none{};
    const PackageDigest malformed{PackageDigest::Kind::kMalformed, {}};
    const PackageDigest sha256{PackageDigest::Kind::kSha256, digest};
    const struct {
        std::string field;
        PackageDigest expected;
    } cases[] = {
        {"sha256=" + hex, sha256},
        {"sha256=" + upper, sha256},
        {FormatDigestField(digest), sha256},
        {"-", none},
        {"a", none},  // what older lists hold
        {"SHA256=" + hex, none},
        {"md5=" + hex, none},
        {"sha256=", malformed},
        {"sha256=" + hex.substr(1), malformed},
        {"sha256=" + hex + "0", malformed},
        {"sha256=" + hex.substr(1) + "g", malformed},
        {"sha256=-", malformed},
    };
    for (const auto& c : cases) {
        const auto list = Parse(V(1, 0, 0), "1.0.1 u1 - " + c.field + " -\n1.0.2 u2 - - -");
        ASSERT_EQ(list.size(), 2u) << c.field;
        EXPECT_EQ(list[0].digest, c.expected) << c.field;
        EXPECT_EQ(list[1].digest, none) << c.field;
    }
}

TEST_F(PatchListParse, ArbitraryBytesNeverCrash) {
    std::string bytes;
    for (int i = 0; i < 1 << 16; ++i)
        bytes.push_back(static_cast<char>((i * 7919) >> 3));
    bytes.insert(100, std::string("\0\0\0", 3));
    for (const SelectedPatch& patch : Parse(0, bytes))
        EXPECT_GT(patch.version, 0u);
}

TEST_F(PatchListParse, HugeInputsParseWhole) {
    // 50 MB of records, and one single 50 MB token.
    std::string many;
    const std::string record = "1.0.1 http://127.0.0.1/p.pak x a b\n";
    while (many.size() < 50u * 1024 * 1024)
        many += record;
    many += "2.0.0 last x a b";
    const auto list = Parse(V(1, 0, 0), many);
    ASSERT_EQ(list.size(), many.size() / record.size() + 1);
    EXPECT_EQ(list.back(), (SelectedPatch{V(2, 0, 0), "last"}));

    const std::string token = "3.0.0 " + std::string(50u * 1024 * 1024, 'u') + " x a b";
    const auto single = Parse(V(1, 0, 0), token);
    ASSERT_EQ(single.size(), 1u);
    EXPECT_EQ(single[0].url.size(), 50u * 1024 * 1024);
}

}  // namespace
