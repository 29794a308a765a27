// Whole update runs without windows, against a real nginx on 127.0.0.1 and
// the scripted loopback server for what nginx cannot do.
#include "engine/update_worker.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/patch_list.h"
#include "engine/version_file.h"
#include "patch/build_codecs.h"
#include "patch/package_writer.h"
#include "patch/patch_package.h"
#include "platform/test_hooks.h"
#include "support/installation_files.h"
#include "support/loopback_server.h"
#include "support/nginx_server.h"
#include "support/status_recorder.h"
#include "support/temp_dir.h"
#include "support/under_wine.h"
#include "transfer/http_get.h"
#include "trust/ed25519.h"
#include "trust/sha256.h"
#include "vocabulary/cancel_request.h"
#include "vocabulary/error_codes.h"

// What the heap holds now, from the allocator in use: AddressSanitizer's
// replaces glibc's, whose figures then stay still.
#if defined(__SANITIZE_ADDRESS__)
#define UPDATER_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UPDATER_TEST_ASAN 1
#endif
#endif
#ifdef UPDATER_TEST_ASAN
// From the sanitizer's runtime (not every compiler ships its header).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
static std::size_t AllocatedBytes() {
    return __sanitizer_get_current_allocated_bytes();
}
#elif defined(_WIN32)
// The C runtime's heap has no running total; its blocks in use are summed.
#include <malloc.h>
static std::size_t AllocatedBytes() {
    std::size_t used = 0;
    _HEAPINFO entry{};
    while (_heapwalk(&entry) == _HEAPOK) {
        if (entry._useflag == _USEDENTRY)
            used += entry._size;
    }
    return used;
}
#else
#include <malloc.h>
static std::size_t AllocatedBytes() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}
#endif

namespace {

namespace fs = std::filesystem;
using testing_support::LoopbackServer;
using testing_support::NginxServer;
using testing_support::OkResponse;
using testing_support::ReadFileBytes;
using testing_support::ReadTree;
using testing_support::ServerScript;
using testing_support::Tree;
using testing_support::VersionFile;
using testing_support::WriteFileBytes;

constexpr PackedVersion V(int major, int minor, int build) {
    return PackVersion(major, minor, build);
}

// The stage words of a run, named for reading the expected sequences.
constexpr StatusWord kStarted = StageWord(kStageSocketsStarted);
constexpr StatusWord kVersionRead = StageWord(kStageVersionRead);
constexpr StatusWord kListFetched = StageWord(kStagePatchListFetched);
constexpr StatusWord kDownloading = StageWord(kStageDownloadStarting);
constexpr StatusWord kApplying = StageWord(kStageApplyStarting);
constexpr StatusWord kOpening = StageWord(kStagePackageOpening);
constexpr StatusWord kPackageRead = StageWord(kStagePackageRead);
constexpr StatusWord kUnpacked = StageWord(kStagePayloadReady);
constexpr StatusWord kAdding = StageWord(kStageAddingFile);
constexpr StatusWord kModifying = StageWord(kStageModifyingFile);
constexpr StatusWord kAllApplied = StageWord(kStageAllApplied);

bool IsPercentage(StatusWord word) {
    return DecodeStatusWord(word).kind == DecodedStatus::Kind::kPercentage;
}

std::string ListRecord(PackedVersion version, const std::string& url,
                       const std::string& options = "-", const std::string& digestField = "-") {
    return FormatVersion(version) + " " + url + " " + options + " " + digestField + " -\n";
}

std::string DigestField(const std::string& package) {
    return FormatDigestField(Sha256Of(package));
}

// Keys made once for the whole program: the publisher's, the one it took
// over from, and a stranger's.
const Ed25519SigningKey& MadeKey(int which) {
    static const Ed25519SigningKey keys[] = {Ed25519SigningKey::Generate().value(),
                                             Ed25519SigningKey::Generate().value(),
                                             Ed25519SigningKey::Generate().value()};
    return keys[which];
}
const Ed25519SigningKey& PublisherKey() {
    return MadeKey(0);
}
const Ed25519SigningKey& RetiredKey() {
    return MadeKey(1);
}
const Ed25519SigningKey& StrangerKey() {
    return MadeKey(2);
}

fs::path MadeDir(const fs::path& dir) {
    fs::create_directories(dir);
    return dir;
}

class UpdateWorkerRun : public ::testing::Test {
  protected:
    UpdateWorkerRun() : root_(MadeDir(outer_ / "install")), www_(MadeDir(outer_ / "www")) {
        ClearCancelRequest();
        platform::ResetFaults();
    }
    ~UpdateWorkerRun() override {
        ClearCancelRequest();
        platform::ResetFaults();
    }

    void SetUp() override { ASSERT_TRUE(nginx_.running()) << nginx_.error(); }

    void Install(const std::string& version, const std::string& listUrl) {
        WriteFileBytes(root_ / "config/version.cfg", VersionFile(version, listUrl));
        WriteFileBytes(root_ / "bin/app.dat", std::string(4000, 'a'));
        WriteFileBytes(root_ / "readme.txt", "version one\n");
    }
    void Publish(const std::string& name, const std::string& bytes) {
        WriteFileBytes(www_ / name, bytes);
    }
    std::string Package(PackedVersion version, const std::vector<EntrySource>& entries,
                        PackageCodec codec = testing_support::AnyCodec()) {
        std::string package;
        EXPECT_TRUE(BuildPackage(codec, version, entries, &package));
        return package;
    }

    // Three packages: a modify entry, add entries with a nested folder, and
    // the new version file; also what the tree looks like afterwards.
    void PublishThreePackages() {
        Publish("p101.pak",
                Package(V(1, 0, 1), {EntrySource::Modify("bin/app.dat", {{10, "XYZ"}}, 4100)}));
        Publish("p102.pak", Package(V(1, 0, 2),
                                    {EntrySource::Add("data/new/a.txt", "fresh\n"),
                                     EntrySource::Add("readme.txt", "version two\n")},
                                    PackageCodec::kBzip2));
        Publish(
            "p110.pak",
            Package(V(1, 1, 0), {EntrySource::Add("config/version.cfg",
                                                  VersionFile("1.1.0", nginx_.Url("/list.cfg")))}));
        Publish("list.cfg", ListRecord(V(1, 0, 0), nginx_.Url("/p100.pak")) +
                                ListRecord(V(1, 0, 1), nginx_.Url("/p101.pak")) +
                                ListRecord(V(1, 0, 2), nginx_.Url("/p102.pak")) +
                                ListRecord(V(1, 1, 0), nginx_.Url("/p110.pak")));
    }
    Tree ExpectedAfterThreePackages() const {
        std::string app(4000, 'a');
        app.replace(10, 3, "XYZ");
        app.resize(4100, '\0');
        return {{"bin/", ""},
                {"bin/app.dat", app},
                {"config/", ""},
                {"config/version.cfg", VersionFile("1.1.0", nginx_.Url("/list.cfg"))},
                {"data/", ""},
                {"data/new/", ""},
                {"data/new/a.txt", "fresh\n"},
                {"readme.txt", "version two\n"}};
    }

    // Runs in the installation with settings_ (no trusted keys unless a test
    // gives some, whatever the build trusts); the run's report is kept in
    // report_, its selection also in selection_.
    void RunInRoot() {
        settings_.installRoot = root_.string();
        report_ = UpdateWorker(recorder_.callback(), settings_);
        selection_ = report_.selection;
    }

    // The run's stages with the percentages left out, and its last word.
    const std::vector<StatusWord>& Words() const { return recorder_.words(); }
    std::vector<StatusWord> Stages() const { return recorder_.Stages(); }
    StatusWord LastWord() const { return recorder_.LastWord(); }

    // Every file and folder below the test's folder, except the download
    // folder and its files: what a run must not add to.
    std::set<std::string> EverythingButDownloads() const {
        std::set<std::string> names;
        const fs::path downloads = root_ / "download";
        for (const auto& item : fs::recursive_directory_iterator(outer_.path())) {
            if (item.path() != downloads && item.path().parent_path() != downloads)
                names.insert(fs::relative(item.path(), outer_.path()).generic_string());
        }
        return names;
    }

    testing_support::TempDir outer_;
    fs::path root_;
    fs::path www_;
    NginxServer nginx_{www_};
    UpdateSettings settings_{.trustedKeys = {}};
    testing_support::StatusRecorder recorder_;
    UpdateReport report_;
    PatchSelection selection_;
};

TEST_F(UpdateWorkerRun, ThreePackagesGiveTheExactWordSequenceAndTree) {
    Install("1.0.0", nginx_.Url("/list.cfg"));
    PublishThreePackages();
    RunInRoot();

    // clang-format off
    const std::vector<StatusWord> expectedStages = {
        kStarted, kVersionRead, kListFetched, kDownloading, kDownloading, kDownloading,
        kApplying, kOpening, kPackageRead, kUnpacked, kModifying,  // 1.0.1: one modify entry
        kOpening, kPackageRead, kUnpacked, kAdding, kAdding,       // 1.0.2: two add entries
        kOpening, kPackageRead, kUnpacked, kAdding,                // 1.1.0: the version file
        kAllApplied};
    // clang-format on
    EXPECT_EQ(Stages(), expectedStages);
    // Each download reports its percentages between its kDownloading word and
    // the next word; small bodies arrive in one piece and report 100 once.
    int downloads = 0;
    for (std::size_t i = 0; i < Words().size(); ++i) {
        if (Words()[i] != kDownloading)
            continue;
        ++downloads;
        ASSERT_LT(i + 1, Words().size());
        EXPECT_EQ(Words()[i + 1], PercentageWord(100));
    }
    EXPECT_EQ(downloads, 3);
    EXPECT_EQ(ReadTree(root_), ExpectedAfterThreePackages());
    EXPECT_EQ(ReadFileBytes(root_ / "download/p110.pak"), ReadFileBytes(www_ / "p110.pak"));
    EXPECT_FALSE(selection_.rerunRequired);
    EXPECT_EQ(selection_.selectedPatches.size(), 3u);
}

TEST_F(UpdateWorkerRun, NoInstalledVersionEndsBeforeAnyConnection) {
    bool connected = false;
    {
        LoopbackServer server(ServerScript().Call([&] { connected = true; }).Close());
        WriteFileBytes(root_ / "config/version.cfg", VersionFile("0.0.0", server.Url("/list.cfg")));
        RunInRoot();
    }
    EXPECT_FALSE(connected);
    EXPECT_EQ(Words(), (std::vector<StatusWord>{kStarted, ErrorWord(kNothingNewer)}));

    recorder_.Clear();
    fs::remove(root_ / "config/version.cfg");
    RunInRoot();
    EXPECT_EQ(Words(), (std::vector<StatusWord>{kStarted, ErrorWord(kNothingNewer)}));
}

TEST_F(UpdateWorkerRun, NothingNewerIsUpToDate) {
    Install("1.1.0", nginx_.Url("/list.cfg"));
    PublishThreePackages();
    const auto before = ReadTree(root_);
    RunInRoot();
    EXPECT_EQ(Words(), (std::vector<StatusWord>{kStarted, kVersionRead, ErrorWord(kNothingNewer)}));
    EXPECT_EQ(ReadTree(root_), before);
    EXPECT_FALSE(fs::exists(root_ / "download"));
}

TEST_F(UpdateWorkerRun, ListUnreachableOnAllTriesReportsTheFourthCode) {
    // Three tries answer 404 (kStatusNotAccepted); the fourth closes before its header
    // ends (kReceiveFailed).
    std::vector<ServerScript> scripts(
        3, ServerScript().ReadRequest().Send("HTTP/1.1 404 Not Found\r\n\r\n").Close());
    scripts.push_back(ServerScript().ReadRequest().Send("HTTP/1.1 200 OK\r\n").Close());
    LoopbackServer server(scripts);
    Install("1.0.0", server.Url("/list.cfg"));
    RunInRoot();
    EXPECT_EQ(Words(),
              (std::vector<StatusWord>{kStarted, kVersionRead, ErrorWord(kReceiveFailed)}));
}

TEST_F(UpdateWorkerRun, ListReachableOnlyOnTheFourthTryRunsNormally) {
    PublishThreePackages();
    std::vector<ServerScript> scripts(
        3, ServerScript().ReadRequest().Send("HTTP/1.1 503 Busy\r\n\r\n").Close());
    scripts.push_back(ServerScript()
                          .ReadRequest()
                          .Send(testing_support::OkResponse(ReadFileBytes(www_ / "list.cfg")))
                          .Close());
    LoopbackServer server(scripts);
    Install("1.0.0", server.Url("/list.cfg"));
    RunInRoot();
    EXPECT_EQ(LastWord(), StageWord(kStageAllApplied));
    auto expected = ExpectedAfterThreePackages();
    EXPECT_EQ(ReadTree(root_), expected);
}

TEST_F(UpdateWorkerRun, PackageUrlEndingInSlashFailsWithNothingApplied) {
    Publish("p101.pak", Package(V(1, 0, 1), {EntrySource::Add("readme.txt", "changed")}));
    Publish("list.cfg", ListRecord(V(1, 0, 1), nginx_.Url("/p101.pak")) +
                            ListRecord(V(1, 0, 2), nginx_.Url("/dir/")));
    Install("1.0.0", nginx_.Url("/list.cfg"));
    const auto before = ReadTree(root_);
    RunInRoot();
    // Every name is judged before the first fetch: nothing is downloaded.
    EXPECT_EQ(Stages(), (std::vector<StatusWord>{kStarted, kVersionRead, kListFetched,
                                                 ErrorWord(kBadPackageName)}));
    EXPECT_FALSE(fs::exists(root_ / "download/p101.pak"));
    EXPECT_EQ(ReadTree(root_), before);
}

TEST_F(UpdateWorkerRun, PackageNameThatWouldLeaveTheDownloadFolderIsNeverFetched) {
    root_ = MadeDir(outer_ / "deep/install");  // room above it for the names to climb into
    // The first two names lead to these canaries above the installation, the
    // third into the installation itself, where no file may appear either.
    WriteFileBytes(outer_ / "deep/evil.pkg", "canary one");
    WriteFileBytes(outer_ / "any.txt", "canary two");
    for (const std::string name : {"..\\..\\evil.pkg", "..\\..\\..\\any.txt", "..\\new.pkg"}) {
        recorder_.Clear();
        std::atomic<bool> fetched{false};
        {
            LoopbackServer server(ServerScript()
                                      .Call([&] { fetched = true; })
                                      .ReadRequest()
                                      .Send(OkResponse("the server's bytes"))
                                      .Close());
            Publish("list.cfg", ListRecord(V(1, 0, 1), server.Url("/d/" + name)));
            Install("1.0.0", nginx_.Url("/list.cfg"));
            const auto before = EverythingButDownloads();
            RunInRoot();
            EXPECT_EQ(Words(), (std::vector<StatusWord>{kStarted, kVersionRead, kListFetched,
                                                        ErrorWord(kBadPackageName)}));
            EXPECT_EQ(EverythingButDownloads(), before) << name;
        }
        EXPECT_FALSE(fetched) << name;
    }
    EXPECT_EQ(ReadFileBytes(outer_ / "deep/evil.pkg"), "canary one");
    EXPECT_EQ(ReadFileBytes(outer_ / "any.txt"), "canary two");
}

TEST_F(UpdateWorkerRun, LinkInTheDownloadPlaceNeverCarriesThePackageOutside) {
#ifdef _WIN32
    GTEST_SKIP() << testing_support::kNoSymbolicLinksHere;
#endif
    PublishThreePackages();
    Install("1.0.0", nginx_.Url("/list.cfg"));
    WriteFileBytes(outer_ / "outside/p101.pak", "canary");
    const auto tree = ReadTree(root_);
    // A link at the package's own place, then a download folder that is one.
    fs::create_directories(root_ / "download");
    fs::create_symlink(outer_ / "outside/p101.pak", root_ / "download/p101.pak");
    RunInRoot();
    EXPECT_EQ(LastWord(), ErrorWord(kPackageFileFailed));
    fs::remove_all(root_ / "download");
    fs::create_directory_symlink(outer_ / "outside", root_ / "download");
    recorder_.Clear();
    RunInRoot();
    EXPECT_EQ(LastWord(), ErrorWord(kPackageFileFailed));
    EXPECT_EQ(ReadFileBytes(outer_ / "outside/p101.pak"), "canary");
    EXPECT_EQ(std::distance(fs::directory_iterator(outer_ / "outside"), fs::directory_iterator()),
              1);
    fs::remove(root_ / "download");
    EXPECT_EQ(ReadTree(root_), tree);
}

TEST_F(UpdateWorkerRun, ListCutShortIsRetriedAndNeverUsed) {
    PublishThreePackages();
    const std::string list = ReadFileBytes(www_ / "list.cfg");
    const std::string whole = OkResponse(list);
    // Half the list arrives, the records of 1.0.0 and 1.0.1, as if whole.
    const ServerScript cut =
        ServerScript().ReadRequest().Send(whole.substr(0, whole.size() - list.size() / 2)).Close();
    {
        LoopbackServer server(std::vector<ServerScript>(kPatchListTries, cut));
        Install("1.0.0", server.Url("/list.cfg"));
        const auto before = ReadTree(root_);
        RunInRoot();
        EXPECT_EQ(Words(),
                  (std::vector<StatusWord>{kStarted, kVersionRead, ErrorWord(kReceiveFailed)}));
        EXPECT_EQ(ReadTree(root_), before);
        EXPECT_FALSE(fs::exists(root_ / "download"));
    }
    recorder_.Clear();
    std::vector<ServerScript> scripts(kPatchListTries - 1, cut);
    scripts.push_back(ServerScript().ReadRequest().Send(whole).Close());
    LoopbackServer server(scripts);
    Install("1.0.0", server.Url("/list.cfg"));
    RunInRoot();
    EXPECT_EQ(LastWord(), StageWord(kStageAllApplied));
    EXPECT_EQ(ReadTree(root_), ExpectedAfterThreePackages());
}

TEST_F(UpdateWorkerRun, ExceptionEndsTheRunWithAnErrorWord) {
    // The first percentage word throws: std::bad_alloc, as a receiver out of
    // memory would (or any allocation in the run), then another exception.
    const struct {
        bool outOfMemory;
        int code;
    } cases[] = {{true, kOutOfMemory}, {false, kUnexpectedFailure}};
    PublishThreePackages();
    Install("1.0.0", nginx_.Url("/list.cfg"));
    const auto before = ReadTree(root_);
    for (const auto& c : cases) {
        recorder_.Clear();
        auto throwing = [this, &c](StatusWord word) {
            recorder_(word);
            if (IsPercentage(word) && c.outOfMemory)
                throw std::bad_alloc();
            if (IsPercentage(word))
                throw std::runtime_error("broken");
        };
        EXPECT_NO_THROW(UpdateWorker(StatusCallbackTo(throwing), root_.string()));
        EXPECT_EQ(Stages(), (std::vector<StatusWord>{kStarted, kVersionRead, kListFetched,
                                                     kDownloading, ErrorWord(c.code)}));
        EXPECT_EQ(ReadTree(root_), before);
    }
}

TEST_F(UpdateWorkerRun, DownloadedBytesAreLetGoBeforeApplying) {
    // Only its size matters: it fails to apply once the measure is taken.
    constexpr std::size_t kSize = std::size_t{24} << 20;
    Publish("big.pak", std::string(kSize, 'p'));
    Publish("list.cfg", ListRecord(V(1, 0, 1), nginx_.Url("/big.pak")));
    Install("1.0.0", nginx_.Url("/list.cfg"));
    std::size_t allocatedWhenApplyingStarts = 0;
    auto measure = [this, &allocatedWhenApplyingStarts](StatusWord word) {
        if (word == StageWord(kStageApplyStarting))
            allocatedWhenApplyingStarts = AllocatedBytes();
        recorder_(word);
    };
    const std::size_t before = AllocatedBytes();
    UpdateWorker(StatusCallbackTo(measure), root_.string());
    ASSERT_EQ(LastWord(), ErrorWord(kApplyFailed));
    EXPECT_EQ(fs::file_size(root_ / "download/big.pak"), kSize);
    EXPECT_LT(allocatedWhenApplyingStarts, before + kSize / 2)
        << "the package is still held while applying starts";
}

TEST_F(UpdateWorkerRun, FailedDownloadReportsItsTransferCode) {
    Publish("list.cfg", ListRecord(V(1, 0, 1), nginx_.Url("/missing.pak")));
    Install("1.0.0", nginx_.Url("/list.cfg"));
    const auto before = ReadTree(root_);
    RunInRoot();
    EXPECT_EQ(Stages(), (std::vector<StatusWord>{kStarted, kVersionRead, kListFetched, kDownloading,
                                                 ErrorWord(kStatusNotAccepted)}));
    EXPECT_EQ(ReadTree(root_), before);
}

TEST_F(UpdateWorkerRun, PackageFileThatCannotBeCreatedFailsItsWriting) {
    PublishThreePackages();
    Install("1.0.0", nginx_.Url("/list.cfg"));
    fs::create_directories(root_ / "download/p101.pak");  // a folder where the file goes
    const auto before = ReadTree(root_);
    RunInRoot();
    EXPECT_EQ(LastWord(), ErrorWord(kPackageFileFailed));
    EXPECT_EQ(ReadTree(root_), before);
}

TEST_F(UpdateWorkerRun, ShortWriteOrFailedCloseOfThePackageFailsItsWriting) {
    for (const platform::FaultKind kind :
         {platform::FaultKind::kWrite, platform::FaultKind::kClose}) {
        recorder_.Clear();
        PublishThreePackages();
        Install("1.0.0", nginx_.Url("/list.cfg"));
        const auto before = ReadTree(root_);
        platform::ResetFaults();
        platform::InjectFaultAt(kind, 1);  // the first package file's write or close
        RunInRoot();
        EXPECT_EQ(LastWord(), ErrorWord(kPackageFileFailed));
        EXPECT_EQ(ReadTree(root_), before);
    }
}

TEST_F(UpdateWorkerRun, BodyShorterOrLongerThanAnnouncedIsIncompleteAndNeverTakenWhole) {
    for (const std::string& body : {std::string(50, 'x'), std::string(150, 'x')}) {
        recorder_.Clear();
        LoopbackServer server(ServerScript()
                                  .ReadRequest()
                                  .Send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n" + body)
                                  .Close());
        Publish("list.cfg", ListRecord(V(1, 0, 1), server.Url("/p101.pak")));
        Install("1.0.0", nginx_.Url("/list.cfg"));
        const auto before = ReadTree(root_);
        RunInRoot();
        EXPECT_EQ(LastWord(), ErrorWord(kPackageIncomplete));
        EXPECT_EQ(ReadTree(root_), before);
        // Never under the package's name. A short body is kept to be
        // continued; a long one is not the package, and continued from its
        // announced length it would pass as whole.
        EXPECT_FALSE(fs::exists(root_ / "download/p101.pak"));
        if (body.size() < 100)
            EXPECT_EQ(ReadFileBytes(root_ / "download/p101.pak.partial"), body);
        else
            EXPECT_FALSE(fs::exists(root_ / "download/p101.pak.partial"));
        fs::remove_all(root_ / "download");
    }
}

TEST_F(UpdateWorkerRun, ApplyFailureInTheSecondOfThreeKeepsTheFirst) {
    PublishThreePackages();
    Publish("p102.pak", Package(V(1, 0, 2), {EntrySource::Modify("no/such/file", {}, 0)}));
    Install("1.0.0", nginx_.Url("/list.cfg"));
    RunInRoot();
    EXPECT_EQ(LastWord(), ErrorWord(kApplyFailed));
    EXPECT_EQ(std::count(Words().begin(), Words().end(), StageWord(kStageAllApplied)), 0);
    std::string app(4000, 'a');
    app.replace(10, 3, "XYZ");
    app.resize(4100, '\0');
    EXPECT_EQ(ReadFileBytes(root_ / "bin/app.dat"), app);
    EXPECT_EQ(ReadFileBytes(root_ / "readme.txt"), "version one\n");
    EXPECT_EQ(ReadInstalledVersion(root_.string()), V(1, 0, 0));
}

// A build without LZO1X meets the format's first codec with the apply's
// failure code and nothing changed, never with a wrong tree.
TEST_F(UpdateWorkerRun, LzoPackageIsAppliedOnlyByABuildWithLzo) {
    Install("1.0.0", nginx_.Url("/list.cfg"));
    std::string payload;
    ASSERT_TRUE(EncodePayload({EntrySource::Add("readme.txt", "lzo\n")}, &payload));
    Publish("p101.pak", testing_support::HandPackedLzoPackage(V(1, 0, 1), payload));
    Publish("list.cfg", ListRecord(V(1, 0, 1), nginx_.Url("/p101.pak")));
    RunInRoot();
    if (testing_support::BuildHasLzo()) {
        EXPECT_EQ(LastWord(), kAllApplied);
        EXPECT_EQ(ReadFileBytes(root_ / "readme.txt"), "lzo\n");
    } else {
        EXPECT_EQ(LastWord(), ErrorWord(kApplyFailed));
        EXPECT_EQ(ReadFileBytes(root_ / "readme.txt"), "version one\n");
        EXPECT_EQ(ReadInstalledVersion(root_.string()), V(1, 0, 0));
    }
}

TEST_F(UpdateWorkerRun, CancelDuringADownloadEndsCancelledAndAppliesNothing) {
    LoopbackServer server(
        ServerScript()
            .ReadRequest()
            .Send("HTTP/1.1 200 OK\r\nContent-Length: 10000\r\n\r\n" + std::string(3000, 'x'))
            .Call([] { RequestCancel(); })
            .Send(std::string(3000, 'x'))
            .Pause(std::chrono::seconds(5)));
    Publish("list.cfg", ListRecord(V(1, 0, 1), server.Url("/p101.pak")));
    Install("1.0.0", nginx_.Url("/list.cfg"));
    const auto before = ReadTree(root_);
    RunInRoot();
    EXPECT_EQ(LastWord(), ErrorWord(kCancelled));
    EXPECT_EQ(ReadTree(root_), before);
}

TEST_F(UpdateWorkerRun, StopRecordSetsRerunAndLaterRecordsAreNotFetched) {
    PublishThreePackages();
    Publish("list.cfg", ListRecord(V(1, 0, 1), nginx_.Url("/p101.pak"), "-r") +
                            ListRecord(V(1, 0, 2), nginx_.Url("/never-fetched.pak")));
    Install("1.0.0", nginx_.Url("/list.cfg"));
    RunInRoot();
    EXPECT_EQ(LastWord(), StageWord(kStageAllApplied));
    EXPECT_TRUE(selection_.rerunRequired);
    EXPECT_EQ(selection_.selectedPatches,
              (std::vector<SelectedPatch>{{V(1, 0, 1), nginx_.Url("/p101.pak")}}));
    EXPECT_FALSE(fs::exists(root_ / "download/never-fetched.pak"));
}

// Two records whose packages would share one file: the later download would
// replace the earlier package, which then never applies. The selection is
// refused before anything is fetched.
TEST_F(UpdateWorkerRun, TwoRecordsNamingOneFileAreRefusedBeforeAnyFetch) {
    fs::create_directories(www_ / "a");
    fs::create_directories(www_ / "b");
    Publish("a/p.pak", Package(V(1, 0, 1), {EntrySource::Add("readme.txt", "from a")}));
    Publish("b/p.pak", Package(V(1, 0, 2), {EntrySource::Add("readme.txt", "from b")}));
    Publish("list.cfg", ListRecord(V(1, 0, 1), nginx_.Url("/a/p.pak")) +
                            ListRecord(V(1, 0, 2), nginx_.Url("/b/p.pak")));
    Install("1.0.0", nginx_.Url("/list.cfg"));
    const std::set<std::string> before = EverythingButDownloads();
    RunInRoot();
    EXPECT_EQ(LastWord(), ErrorWord(kBadPackageName));
    EXPECT_EQ(std::count(Words().begin(), Words().end(), kDownloading), 0);
    EXPECT_FALSE(fs::exists(root_ / "download/p.pak"));
    EXPECT_EQ(EverythingButDownloads(), before);
}

// One package that changes readme.txt, announced by list.cfg with `digest`
// in its record; what is served as the package may differ from it.
class DigestRun : public UpdateWorkerRun {
  protected:
    void SetUp() override {
        UpdateWorkerRun::SetUp();
        package_ = Package(V(1, 0, 1), {EntrySource::Add("readme.txt", "version two\n")});
    }
    void PublishList(const std::string& digestField) {
        Publish("list.cfg", ListRecord(V(1, 0, 1), nginx_.Url("/p101.pak"), "-", digestField));
    }
    std::string package_;
};

TEST_F(DigestRun, PackageIsTakenOnlyWhenItsDigestMatchesTheRecords) {
    std::string changed = package_;
    changed[changed.size() / 2] ^= 0x01;
    const std::vector<StatusWord> refusedAfterDownload = {kStarted, kVersionRead, kListFetched,
                                                          kDownloading, ErrorWord(kDigestMismatch)};
    const struct {
        const char* what;
        std::string served;
        std::string digestField;
        bool applied;
        std::vector<StatusWord> refusal;  // the stages of a refused run
    } cases[] = {
        {"matching digest", package_, DigestField(package_), true, {}},
        {"one byte changed", changed, DigestField(package_), false, refusedAfterDownload},
        // Malformed: refused before the package is asked for.
        {"malformed digest",
         package_,
         "sha256=" + Sha256Hex(Sha256Of(package_)).substr(1),
         false,
         {kStarted, kVersionRead, kListFetched, ErrorWord(kDigestMismatch)}},
    };
    for (const auto& c : cases) {
        recorder_.Clear();
        fs::remove_all(root_ / "download");
        Install("1.0.0", nginx_.Url("/list.cfg"));
        Publish("p101.pak", c.served);
        PublishList(c.digestField);
        const auto before = ReadTree(root_);
        RunInRoot();
        if (c.applied) {
            EXPECT_EQ(LastWord(), StageWord(kStageAllApplied)) << c.what;
            EXPECT_EQ(ReadFileBytes(root_ / "readme.txt"), "version two\n") << c.what;
            EXPECT_EQ(ReadFileBytes(root_ / "download/p101.pak"), package_) << c.what;
        } else {
            EXPECT_EQ(Stages(), c.refusal) << c.what;
            EXPECT_EQ(ReadTree(root_), before) << c.what;
            EXPECT_FALSE(fs::exists(root_ / "download/p101.pak")) << c.what;
        }
    }
}

TEST_F(DigestRun, SignedListIsTakenOnlyWithATrustedSignatureAndDigests) {
    // The publisher's key is the second of two the build trusts, as during a
    // key rotation.
    settings_.trustedKeys = {RetiredKey().PublicKey(), PublisherKey().PublicKey()};
    const std::string signedList =
        ListRecord(V(1, 0, 1), nginx_.Url("/p101.pak"), "-", DigestField(package_));
    const std::string goodSignature = SignatureText(PublisherKey().Sign(signedList)) + "\n";
    const std::string unsignedRecord = ListRecord(V(1, 0, 1), nginx_.Url("/p101.pak"));
    std::string alteredList = signedList;
    alteredList[alteredList.find("p101")] = 'P';
    const std::vector<StatusWord> untrusted = {kStarted, kVersionRead, ErrorWord(kListNotTrusted)};
    const struct {
        const char* what;
        std::string list;
        std::string signature;            // empty: no .sig on the server
        std::vector<StatusWord> refusal;  // empty: the run succeeds
    } cases[] = {
        {"good signature", signedList, goodSignature, {}},
        {"no signature", signedList, "", untrusted},
        {"signature not base64", signedList, "not a signature\n", untrusted},
        {"signature of 63 bytes", signedList, goodSignature.substr(0, 84) + "\n", untrusted},
        {"signature larger than a signature can be", signedList,
         goodSignature + std::string(5000, ' '), untrusted},
        {"signed by a key not trusted", signedList, SignatureText(StrangerKey().Sign(signedList)),
         untrusted},
        {"list changed after signing", alteredList, goodSignature, untrusted},
        {"record without a digest",
         unsignedRecord,
         SignatureText(PublisherKey().Sign(unsignedRecord)),
         {kStarted, kVersionRead, kListFetched, ErrorWord(kDigestMissing)}},
    };
    for (const auto& c : cases) {
        recorder_.Clear();
        fs::remove_all(root_ / "download");
        fs::remove(www_ / "list.cfg.sig");
        Install("1.0.0", nginx_.Url("/list.cfg"));
        Publish("p101.pak", package_);
        Publish("list.cfg", c.list);
        if (!c.signature.empty())
            Publish("list.cfg.sig", c.signature);
        const auto before = ReadTree(root_);
        RunInRoot();
        EXPECT_TRUE(report_.signatureRequired) << c.what;
        if (c.refusal.empty()) {
            EXPECT_EQ(LastWord(), StageWord(kStageAllApplied)) << c.what;
            EXPECT_EQ(report_.listSigner, PublisherKey().PublicKey()) << c.what;
            EXPECT_EQ(ReadFileBytes(root_ / "readme.txt"), "version two\n") << c.what;
        } else {
            EXPECT_EQ(Stages(), c.refusal) << c.what;
            EXPECT_EQ(ReadTree(root_), before) << c.what;
            EXPECT_FALSE(fs::exists(root_ / "download")) << c.what << ": something was downloaded";
        }
    }
}

TEST_F(DigestRun, SignatureThatCannotBeFetchedGivesTheNetworksCode) {
    settings_.trustedKeys = {PublisherKey().PublicKey()};
    const std::string list =
        ListRecord(V(1, 0, 1), nginx_.Url("/p101.pak"), "-", DigestField(package_));
    // The list arrives; every try for its signature is cut off in the header.
    std::vector<ServerScript> scripts = {ServerScript().ReadRequest().Send(OkResponse(list))};
    for (int attempt = 0; attempt < kPatchListTries; ++attempt)
        scripts.push_back(ServerScript().ReadRequest().Send("HTTP/1.1 200 OK\r\n").Close());
    LoopbackServer server(scripts);
    Install("1.0.0", server.Url("/list.cfg"));
    RunInRoot();
    EXPECT_EQ(Words(),
              (std::vector<StatusWord>{kStarted, kVersionRead, ErrorWord(kReceiveFailed)}));
    EXPECT_NE(server.ReceivedRequest().find("GET /list.cfg.sig "), std::string::npos);
    EXPECT_FALSE(report_.listSigner);
}

#ifndef _WIN32
// A run in a child process whose address space may grow by 512 MiB at most,
// far less than the gigabyte its server announces; exits with the code of the
// run's error word (0 after a success).
[[noreturn]] void RunUnderMemoryLimit(const fs::path& root, const std::string& listUrl) {
    WriteFileBytes(root / "config/version.cfg", VersionFile("1.0.0", listUrl));
    std::ifstream statm("/proc/self/statm");
    rlim_t pages = 0;
    statm >> pages;
    const rlim_t limit = pages * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (rlim_t{512} << 20);
    rlimit bound{};
    getrlimit(RLIMIT_AS, &bound);
    bound.rlim_cur = std::min(limit, bound.rlim_max);
    if (statm.fail() || setrlimit(RLIMIT_AS, &bound) != 0)
        std::_Exit(255);
    testing_support::StatusRecorder recorder;
    UpdateWorker(recorder.callback(), root.string());
    const StatusWord last = recorder.words().empty() ? 0 : recorder.words().back();
    const DecodedStatus status = DecodeStatusWord(last);
    std::_Exit(status.kind == DecodedStatus::Kind::kError ? status.value : 0);
}
#endif

TEST(UpdateWorkerDeathTest, FalseGigabyteAnnouncementEndsWithTheUsualCode) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows has no cap on the address space (setrlimit)";
#else
    const std::string lie =
        "HTTP/1.1 200 OK\r\nContent-Length: 1000000000\r\n\r\n" + std::string(100, 'x');
    const ServerScript lying = ServerScript().ReadRequest().Send(lie).Close();
    testing_support::TempDir root;
    // A patch list: every try cut short.
    EXPECT_EXIT(
        {
            LoopbackServer list(std::vector<ServerScript>(kPatchListTries, lying));
            RunUnderMemoryLimit(root.path(), list.Url("/list.cfg"));
        },
        ::testing::ExitedWithCode(kReceiveFailed), "");
    // A package: incomplete.
    EXPECT_EXIT(
        {
            LoopbackServer package(lying);
            LoopbackServer list(ServerScript().ReadRequest().Send(
                OkResponse(ListRecord(V(1, 0, 1), package.Url("/p101.pak")))));
            RunUnderMemoryLimit(root.path(), list.Url("/list.cfg"));
        },
        ::testing::ExitedWithCode(kPackageIncomplete), "");
#endif
}

TEST(PackageFileName, OnlyAPlainNameIsUsable) {
    for (const std::string name :
         {"p.pak", "patch-1.0.1.pkg", "get?name=p.pak", "...", ".p", "\xC3\xA9t\xC3\xA9.pak"}) {
        EXPECT_TRUE(IsUsablePackageFileName(name)) << name;
    }
    for (const std::string& name :
         {std::string(), std::string("."), std::string(".."), std::string("a/b"),
          std::string("..\\p.pak"), std::string("c:p.pak"), std::string("p.pak:s"),
          std::string("p\0.pak", 6), std::string("p\x01"), std::string("p\x1F"),
          std::string("p\x7F"), std::string("p\r")}) {
        EXPECT_FALSE(IsUsablePackageFileName(name)) << name;
    }
}

TEST(PackageFileName, EachSelectedRecordNeedsAFileOfItsOwn) {
    const auto patches = [](std::initializer_list<const char*> urls) {
        std::vector<SelectedPatch> selected;
        for (const char* url : urls)
            selected.push_back({V(1, 0, 1), url});
        return selected;
    };
    EXPECT_TRUE(HasOwnUsablePackageFiles(patches({"http://h/a/p1.pak", "http://h/a/p2.pak"})));
    EXPECT_FALSE(HasOwnUsablePackageFiles(patches({"http://h/a/p.pak", "http://h/b/p.pak"})));
    EXPECT_FALSE(HasOwnUsablePackageFiles(patches({"http://h/p1.pak", "http://h/dir/"})));
    // Windows keeps one file for names that differ only in case.
#ifdef _WIN32
    EXPECT_FALSE(HasOwnUsablePackageFiles(patches({"http://h/a/P.pak", "http://h/b/p.PAK"})));
#else
    EXPECT_TRUE(HasOwnUsablePackageFiles(patches({"http://h/a/P.pak", "http://h/b/p.PAK"})));
#endif
}

TEST(PackageFileName, IsTheTextAfterTheLastSlash) {
    EXPECT_EQ(PackageFileName("http://h/a/b/p.pak"), "p.pak");
    EXPECT_EQ(PackageFileName("http://h/p.pak?x=1/y"), "y");
    EXPECT_EQ(PackageFileName("http://h/get?name=p.pak"), "get?name=p.pak");
    EXPECT_EQ(PackageFileName("http://host"), "host");
    EXPECT_EQ(PackageFileName("http://h/dir/"), "");
    EXPECT_EQ(PackageFileName("no-slash"), "");
    EXPECT_EQ(PackageFileName(""), "");
}

}  // namespace
