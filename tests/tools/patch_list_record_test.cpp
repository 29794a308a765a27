#include "patch_list_record.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "arguments.h"
#include "engine/patch_list.h"

namespace {

std::string Record(PackedVersion version, const std::string& url, bool stop,
                   const std::optional<Sha256Digest>& digest = std::nullopt) {
    std::string line, error;
    EXPECT_TRUE(FormatPatchListRecord(version, url, stop, digest, &line, &error)) << error;
    return line;
}

TEST(PatchListRecord, TheUpdaterReadsWhatIsPrinted) {
    const Sha256Digest digest = Sha256Of("package a");
    const std::string list =
        "# published packages\n" +
        Record(PackVersion(1, 0, 3), "http://127.0.0.1:8080/p/a.pkg", false, digest) + "\n" +
        Record(PackVersion(1, 1, 0), "https://localhost/b.pkg", true) + "\n" +
        Record(PackVersion(1, 1, 1), "http://localhost/c.pkg", false) + "\n";
    const PatchSelection selection = ParsePatchList(PackVersion(1, 0, 2), list);
    // The stop record is taken, and nothing after it.
    EXPECT_EQ(selection.selectedPatches,
              (std::vector<SelectedPatch>{{PackVersion(1, 0, 3),
                                           "http://127.0.0.1:8080/p/a.pkg",
                                           {PackageDigest::Kind::kSha256, digest}},
                                          {PackVersion(1, 1, 0), "https://localhost/b.pkg"}}));
    EXPECT_TRUE(selection.rerunRequired);
}

TEST(PatchListRecord, RefusesUrlsTheUpdaterCannotFetchOrStore) {
    for (const std::string url :
         {"ftp://localhost/a.pkg", "http://localhost", "http://localhost/dir/",
          "http://localhost/a b.pkg", "http://:80/a.pkg", "http://localhost:99999/a.pkg", "",
          "http://localhost/d/..\\..\\evil.pkg", "http://localhost/d/.."}) {
        std::string line, error;
        EXPECT_FALSE(
            FormatPatchListRecord(PackVersion(1, 0, 0), url, false, std::nullopt, &line, &error))
            << url;
        EXPECT_FALSE(error.empty());
    }
}

TEST(VersionText, AcceptsOnlyThreeNumbersInRange) {
    EXPECT_EQ(ParseVersionText("1.2.3"), PackVersion(1, 2, 3));
    EXPECT_EQ(ParseVersionText("255.255.65535"), 0xFFFFFFFFu);
    EXPECT_EQ(ParseVersionText("0.0.0"), 0u);
    for (const char* text : {"256.0.0", "0.256.0", "0.0.65536", "1.2", "1.2.3.4", "1.2.3beta",
                             "-1.2.3", "+1.2.3", "1..3", " 1.2.3", "", "1.2.99999999999"}) {
        EXPECT_FALSE(ParseVersionText(text)) << text;
    }
}

TEST(Arguments, ReadsOptionFormsAndRefusesMistakes) {
    const std::vector<OptionSpec> specs = {
        {"from", 0, true}, {"output", 'o', true}, {"json", 0, false}};
    ParsedArguments parsed;
    std::string error;
    ASSERT_TRUE(ParseArguments({"--from=a", "-o", "b", "--json", "x", "--", "--from"}, specs,
                               &parsed, &error));
    EXPECT_EQ(parsed.Value("from"), "a");
    EXPECT_EQ(parsed.Value("output"), "b");
    EXPECT_TRUE(parsed.Has("json"));
    EXPECT_EQ(parsed.operands, (std::vector<std::string>{"x", "--from"}));
    ASSERT_TRUE(ParseArguments({"-ob", "--from", "-"}, specs, &parsed, &error));
    EXPECT_EQ(parsed.Value("output"), "b");
    EXPECT_EQ(parsed.Value("from"), "-");

    for (const std::vector<std::string>& words : std::vector<std::vector<std::string>>{
             {"--from"}, {"--from", "a", "--from=b"}, {"--json=1"}, {"--nope"}, {"-x"}, {"-jx"}}) {
        EXPECT_FALSE(ParseArguments(words, specs, &parsed, &error)) << words.front();
        EXPECT_FALSE(error.empty());
    }
}

}  // namespace
