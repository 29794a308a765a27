#include "patch/package_writer.h"

#include <gtest/gtest.h>

#include <random>

#include "apply_fixture.h"

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

TEST(PackageWriter, LaysOutAModifyEntryByteForByte) {
    // bin/app.dat: 4 bytes written at offset 100, 500 bytes long afterwards.
    std::string payload;
    ASSERT_TRUE(EncodePayload(
        {EntrySource::Modify("bin/app.dat", {{100, "\x01\x02\x03\x04"}}, 500)}, &payload));
    const std::string expected = std::string("IDOM\xF4\x01\0\0\x0C\0\0\0", 12) +
                                 std::string("bin/app.dat\0", 12) + std::string("\x0C\0\0\0", 4) +
                                 std::string("\x64\0\0\0\x04\0\0\0\x01\x02\x03\x04", 12) +
                                 std::string(4, '\0');
    EXPECT_EQ(payload, expected);
}

TEST(PackageWriter, HeaderCarriesCodecVersionAndSizeAndOutputIsRepeatable) {
    const std::vector<EntrySource> entries = {EntrySource::Add("a.txt", std::string(5000, 'a'))};
    for (const PackageCodec codec : CodecsInThisBuild()) {
        std::string first;
        std::string second;
        ASSERT_TRUE(BuildPackage(codec, PackVersion(1, 2, 3), entries, &first));
        ASSERT_TRUE(BuildPackage(codec, PackVersion(1, 2, 3), entries, &second));
        EXPECT_EQ(first, second);
        PackageHeader header;
        ASSERT_TRUE(ReadPackageHeader(
            {reinterpret_cast<const std::uint8_t*>(first.data()), first.size()}, &header));
        EXPECT_EQ(header.codec, codec);
        EXPECT_EQ(header.version, PackVersion(1, 2, 3));
        EXPECT_EQ(header.unpackedSize, 12u + 6u + 4u + 5000u + 4u);
        EXPECT_LT(first.size(), 1000u);  // it was compressed
    }
}

TEST(PackageWriter, RefusesANameThatCannotBeEncoded) {
    std::string payload;
    EXPECT_FALSE(EncodePayload({EntrySource::Add(std::string("a\0b", 3), "x")}, &payload));
    const std::string longest(kMaxEntryNameLength, 'n');
    EXPECT_TRUE(EncodePayload({EntrySource::Add(longest, "x")}, &payload));
    EXPECT_FALSE(EncodePayload({EntrySource::Add(longest + "n", "x")}, &payload));
}

TEST(PackageWriter, SavesTheBytesWholeOrNotAtAll) {
    TempDir dir;
    EXPECT_TRUE(SavePackage((dir / "p.pak").string(), "bytes"));
    EXPECT_EQ(ReadFileBytes(dir / "p.pak"), "bytes");
    fs::create_directories(dir / "folder");
    EXPECT_FALSE(SavePackage((dir / "folder").string(), "bytes"));
    platform::InjectFaultAt(platform::FaultKind::kClose, 1);
    EXPECT_FALSE(SavePackage((dir / "p.pak").string(), "other bytes"));
    platform::ResetFaults();
    EXPECT_EQ(ReadFileBytes(dir / "p.pak"), "bytes");
    // Nothing staged stays beside.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
}

// ---------------------------------------------------------------------------
// Write, apply, compare: the whole tree must come out byte for byte.

class RoundTrip : public ApplyFixture, public ::testing::WithParamInterface<PackageCodec> {};

TEST_P(RoundTrip, AppliedTreeMatchesByteForByte) {
    std::mt19937 random(7);
    std::string noise(300000, '\0');
    for (char& byte : noise)
        byte = static_cast<char>(random());
    std::string allBytes;
    for (int i = 0; i < 256; ++i)
        allBytes.push_back(static_cast<char>(i));
    std::string text;
    for (int i = 0; i < 3000; ++i)
        text += "row " + std::to_string(i % 97) + "\n";

    WriteFileBytes(root_ / "grow.txt", "short");
    WriteFileBytes(root_ / "shrink.bin", noise.substr(0, 1000));
    WriteFileBytes(root_ / "lib/scatter.bin", noise.substr(0, 70000));
    std::string scattered = noise.substr(0, 70000);
    scattered.replace(10, 3, "abc");
    scattered.replace(40000, 2, "de");
    scattered.replace(69999, 1, "f");

    const std::map<std::string, std::string> expected = {
        {"download", "<dir>"},
        {"download/" + std::string(kTestPackage), ""},  // not compared
        {"bin", "<dir>"},
        {"bin/noise.bin", noise},
        {"bin/all.bin", allBytes},
        {"docs", "<dir>"},
        {"docs/deep", "<dir>"},
        {"docs/deep/readme.txt", text},
        {"empty.txt", ""},
        {"grow.txt", "short and longer"},
        {"shrink.bin", noise.substr(0, 10)},
        {"lib", "<dir>"},
        {"lib/scatter.bin", scattered},
    };
    Stage(Build(
        {EntrySource::Add("bin/noise.bin", noise), EntrySource::Add("bin/all.bin", allBytes),
         EntrySource::Add("docs/deep/readme.txt", text), EntrySource::Add("empty.txt", ""),
         EntrySource::Modify("grow.txt", {{5, " and longer"}}, 16),
         EntrySource::Modify("shrink.bin", {}, 10),
         EntrySource::Modify("lib/scatter.bin", {{10, "abc"}, {39987, "de"}, {29997, "f"}}, 70000)},
        GetParam()));
    ASSERT_TRUE(Apply());
    std::map<std::string, std::string> tree;
    for (const auto& [name, bytes] : Snapshot()) {
        if (name.rfind("root/", 0) == 0)
            tree[name.substr(5)] = bytes;
    }
    tree["download/" + std::string(kTestPackage)] = "";
    EXPECT_EQ(tree, expected);
}

INSTANTIATE_TEST_SUITE_P(EveryCodec, RoundTrip, ::testing::ValuesIn(CodecsInThisBuild()),
                         [](const auto& test) { return std::string(CodecOf(test.param).name); });

}  // namespace
