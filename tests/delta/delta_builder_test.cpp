#include "delta/delta_builder.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "delta_fixture.h"
#include "support/temp_dir.h"

using namespace testing_support;

namespace {

TEST(DeltaBuilder, RoundTripsEmptyIdenticalAndUnrelatedFiles) {
    const std::string text = RandomBytes(300000, 1);
    const std::string other = RandomBytes(200000, 2);
    const struct {
        std::string oldBytes, newBytes;
    } pairs[] = {{"", ""}, {"", other}, {text, ""}, {"a", "b"}, {text, text}, {text, other}};
    for (const auto& [oldBytes, newBytes] : pairs) {
        SCOPED_TRACE(std::to_string(oldBytes.size()) + " -> " + std::to_string(newBytes.size()));
        const std::string delta = MakeDelta(oldBytes, newBytes);
        const Applied applied = ApplyInPieces(oldBytes, newBytes.size(), delta);
        EXPECT_TRUE(applied.finished);
        EXPECT_TRUE(applied.output == newBytes);
        // Unrelated bytes go literally, at the cost of headers and records only.
        EXPECT_LT(delta.size(), newBytes.size() + 1000);
    }
    // An unchanged file costs next to nothing once compressed.
    EXPECT_LT(CompressedSize(MakeDelta(text, text)), 200u);
}

TEST(DeltaBuilder, EditedFilesRoundTripAcrossBlocksAndCompressSmall) {
    const auto [oldBytes, newBytes] = EditedPair(3 << 20, 10);
    const std::string delta = MakeDelta(oldBytes, newBytes);
    EXPECT_EQ(MakeDelta(oldBytes, newBytes), delta);  // repeatable
    const Applied applied = ApplyInPieces(oldBytes, newBytes.size(), delta);
    EXPECT_TRUE(applied.finished);
    EXPECT_TRUE(applied.output == newBytes);
    // The 3100 inserted random bytes are all that cannot shrink.
    EXPECT_LT(CompressedSize(delta), 5000u);
}

// A small program in which one early function grows and gains a string, so
// the code and strings after it move and half the bytes of the executable
// (the calls and addresses that reach past it) differ.
std::string ProgramSource(bool changed) {
    std::string source = "#include <cstdio>\n";
    for (int i = 0; i < 400; ++i) {
        const std::string n = std::to_string(i);
        source += "__attribute__((noinline)) int f" + n + "(int x) { ";
        if (changed && i == 30)
            source += "if (x == 12345) std::puts(\"changed\"); x ^= x >> 3; ";
        source += "if (x == " + n + ") std::puts(\"value " + n + "\"); ";
        source += "return x * " + std::to_string(i * 7 + 3) + " + (x >> " + std::to_string(i % 13) +
                  "); }\n";
    }
    source += "int main(int argc, char**) {\n  int v = argc;\n";
    for (int i = 0; i < 400; ++i)
        source += "  v = f" + std::to_string(i) + "(v);\n";
    return source + "  std::printf(\"%d\\n\", v);\n}\n";
}

TEST(DeltaBuilder, RebuiltExecutableNeedsFarLessThanItsCompressedSelf) {
#ifdef _WIN32
    GTEST_SKIP() << "the compiler that makes the pair is a Linux program, which a Windows "
                    "program under Wine cannot start";
#endif
    TempDir dir;
    for (const bool changed : {false, true}) {
        const std::string name = changed ? "new" : "old";
        WriteFileBytes(dir / (name + ".cpp"), ProgramSource(changed));
        const std::string command = std::string(UPDATER_TEST_CXX) + " -O2 -o " +
                                    (dir / name).string() + " " + (dir / (name + ".cpp")).string();
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }
    const std::string oldBytes = ReadFileBytes(dir / "old");
    const std::string newBytes = ReadFileBytes(dir / "new");
    ASSERT_NE(oldBytes, newBytes);
    const std::string delta = MakeDelta(oldBytes, newBytes);
    EXPECT_TRUE(ApplyInPieces(oldBytes, newBytes.size(), delta).output == newBytes);
    EXPECT_LT(CompressedSize(delta) * 8, CompressedSize(newBytes));
}

}  // namespace
