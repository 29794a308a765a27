// Whether this program is a Windows program running under Wine, which falls
// short of Windows itself in a few places a test may have to step around:
// each such test says what Wine does differently when it skips.
#pragma once

namespace testing_support {

// Always false outside Windows.
bool UnderWine();

// Why a reset after the first bytes of an answer cannot be told from an
// orderly close under Wine, where Windows tells them apart.
inline constexpr const char* kWineReadsResetAsClose =
    "Wine reports a reset that follows received bytes as an orderly close "
    "(recv gives 0, where Windows gives WSAECONNRESET)";

// Why the cases that make symbolic links skip themselves on Windows: the
// links they make are POSIX links, which neither std::filesystem built with
// mingw nor Wine can make; windows_files_test.cpp judges links on Windows
// with links made on the Linux side of Wine's drive.
inline constexpr const char* kNoSymbolicLinksHere =
    "makes symbolic links, which a Windows program under Wine cannot (mingw's "
    "std::filesystem has no create_symlink, Wine's CreateSymbolicLinkW makes nothing); "
    "WindowsFiles.JudgesLinksByWhereTheyLead covers links on Windows";

}  // namespace testing_support
