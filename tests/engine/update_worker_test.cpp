// Whole update runs without windows, against a real nginx on 127.0.0.1 and
// the scripted loopback server for what nginx cannot do.
#include "engine/update_worker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "engine/error_codes.h"
#include "engine/patch_list.h"
#include "patch/package_writer.h"
#include "patch/patch_package.h"
#include "platform/platform.h"
#include "support/loopback_server.h"
#include "support/nginx_server.h"
#include "support/temp_dir.h"
#include "transfer/http_get.h"

namespace {

namespace fs = std::filesystem;
using testing_support::LoopbackServer;
using testing_support::NginxServer;
using testing_support::ReadFileBytes;
using testing_support::ServerScript;
using testing_support::WriteFileBytes;

constexpr PackedVersion V(int major, int minor, int build) {
    return PackVersion(major, minor, build);
}

std::vector<StatusWord>& Words() {
    static std::vector<StatusWord> words;
    return words;
}
void Record(StatusWord word) {
    Words().push_back(word);
}

std::map<std::string, std::string> TreeOf(const fs::path& root) {
    std::map<std::string, std::string> tree;
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        const std::string name = fs::relative(item.path(), root).generic_string();
        if (name == "download" || name.rfind("download/", 0) == 0)
            continue;
        tree[name] = item.is_regular_file() ? ReadFileBytes(item.path()) : "<dir>";
    }
    return tree;
}

std::string VersionFile(const std::string& version, const std::string& url) {
    return "[Main]\r\nVersion=" + version + "\r\nUpdateURL=" + url + "\r\n";
}

std::string ListRecord(PackedVersion version, const std::string& url,
                       const std::string& options = "-") {
    return FormatVersion(version) + " " + url + " " + options + " - -\n";
}

fs::path MadeDir(const fs::path& dir) {
    fs::create_directories(dir);
    return dir;
}

class UpdateWorkerRun : public ::testing::Test {
  protected:
    UpdateWorkerRun() : root_(MadeDir(outer_ / "install")), www_(MadeDir(outer_ / "www")) {
        Words().clear();
        RerunRequired = false;
        CancelRequested = false;
        SelectedPatches.clear();
        PendingPackageCount = 0;
        platform::ResetFaults();
    }
    ~UpdateWorkerRun() override {
        RerunRequired = false;
        CancelRequested = false;
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
                        PackageCodec codec = PackageCodec::kLzo1x) {
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
    std::map<std::string, std::string> ExpectedAfterThreePackages() const {
        std::string app(4000, 'a');
        app.replace(10, 3, "XYZ");
        app.resize(4100, '\0');
        return {{"bin", "<dir>"},
                {"bin/app.dat", app},
                {"config", "<dir>"},
                {"config/version.cfg", VersionFile("1.1.0", nginx_.Url("/list.cfg"))},
                {"data", "<dir>"},
                {"data/new", "<dir>"},
                {"data/new/a.txt", "fresh\n"},
                {"readme.txt", "version two\n"}};
    }

    void RunInRoot() {
        testing_support::ScopedWorkingDir cwd(root_);
        UpdateWorker(&Record);
    }

    // The run's stages with the percentages left out, and its last word.
    static std::vector<StatusWord> Stages() {
        std::vector<StatusWord> stages;
        std::copy_if(Words().begin(), Words().end(), std::back_inserter(stages), [](StatusWord w) {
            return DecodeStatusWord(w).kind != DecodedStatus::Kind::kPercentage;
        });
        return stages;
    }
    static StatusWord LastWord() { return Words().empty() ? 0xFFFFFFFFu : Words().back(); }

    testing_support::TempDir outer_;
    fs::path root_;
    fs::path www_;
    NginxServer nginx_{www_};
};

TEST_F(UpdateWorkerRun, ThreePackagesGiveTheExactWordSequenceAndTree) {
    Install("1.0.0", nginx_.Url("/list.cfg"));
    PublishThreePackages();
    RunInRoot();

    const std::vector<StatusWord> expectedStages = {0, 1, 2, 3, 3, 3,
                                                    4, 5, 6, 7, 9,  // 1.0.1: one modify entry
                                                    5, 6, 7, 8, 8,  // 1.0.2: two add entries
                                                    5, 6, 7, 8,     // 1.1.0: the version file
                                                    10};
    EXPECT_EQ(Stages(), expectedStages);
    // Each download reports its percentages between its stage 3 and the next
    // word; small bodies arrive in one piece and report 100 once.
    int downloads = 0;
    for (std::size_t i = 0; i < Words().size(); ++i) {
        if (Words()[i] != 3)
            continue;
        ++downloads;
        ASSERT_LT(i + 1, Words().size());
        EXPECT_EQ(Words()[i + 1], PercentageWord(100));
    }
    EXPECT_EQ(downloads, 3);
    EXPECT_EQ(TreeOf(root_), ExpectedAfterThreePackages());
    EXPECT_EQ(ReadFileBytes(root_ / "download/p110.pak"), ReadFileBytes(www_ / "p110.pak"));
    EXPECT_FALSE(RerunRequired);
    EXPECT_EQ(SelectedPatches.size(), 3u);
}

TEST_F(UpdateWorkerRun, NoInstalledVersionEndsBeforeAnyConnection) {
    bool connected = false;
    {
        LoopbackServer server(ServerScript().Call([&] { connected = true; }).Close());
        WriteFileBytes(root_ / "config/version.cfg", VersionFile("0.0.0", server.Url("/list.cfg")));
        RunInRoot();
    }
    EXPECT_FALSE(connected);
    EXPECT_EQ(Words(), (std::vector<StatusWord>{0, ErrorWord(kNothingNewer)}));

    Words().clear();
    fs::remove(root_ / "config/version.cfg");
    RunInRoot();
    EXPECT_EQ(Words(), (std::vector<StatusWord>{0, ErrorWord(kNothingNewer)}));
}

TEST_F(UpdateWorkerRun, NothingNewerIsUpToDate) {
    Install("1.1.0", nginx_.Url("/list.cfg"));
    PublishThreePackages();
    const auto before = TreeOf(root_);
    RunInRoot();
    EXPECT_EQ(Words(), (std::vector<StatusWord>{0, 1, ErrorWord(kNothingNewer)}));
    EXPECT_EQ(TreeOf(root_), before);
    EXPECT_FALSE(fs::exists(root_ / "download"));
}

TEST_F(UpdateWorkerRun, ListUnreachableOnAllTriesReportsTheFourthCode) {
    // Three tries answer 404 (15); the fourth closes before its header ends (12).
    std::vector<ServerScript> scripts(
        3, ServerScript().ReadRequest().Send("HTTP/1.1 404 Not Found\r\n\r\n").Close());
    scripts.push_back(ServerScript().ReadRequest().Send("HTTP/1.1 200 OK\r\n").Close());
    LoopbackServer server(scripts);
    Install("1.0.0", server.Url("/list.cfg"));
    RunInRoot();
    EXPECT_EQ(Words(), (std::vector<StatusWord>{0, 1, ErrorWord(kReceiveFailed)}));
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
    EXPECT_EQ(TreeOf(root_), expected);
}

TEST_F(UpdateWorkerRun, PackageUrlEndingInSlashFailsWithNothingApplied) {
    Publish("p101.pak", Package(V(1, 0, 1), {EntrySource::Add("readme.txt", "changed")}));
    Publish("list.cfg", ListRecord(V(1, 0, 1), nginx_.Url("/p101.pak")) +
                            ListRecord(V(1, 0, 2), nginx_.Url("/dir/")));
    Install("1.0.0", nginx_.Url("/list.cfg"));
    const auto before = TreeOf(root_);
    RunInRoot();
    EXPECT_EQ(Stages(), (std::vector<StatusWord>{0, 1, 2, 3, ErrorWord(kEmptyPackageName)}));
    EXPECT_TRUE(fs::exists(root_ / "download/p101.pak"));  // the earlier download stays
    EXPECT_EQ(TreeOf(root_), before);
}

TEST_F(UpdateWorkerRun, FailedDownloadReportsItsTransferCode) {
    Publish("list.cfg", ListRecord(V(1, 0, 1), nginx_.Url("/missing.pak")));
    Install("1.0.0", nginx_.Url("/list.cfg"));
    const auto before = TreeOf(root_);
    RunInRoot();
    EXPECT_EQ(Stages(), (std::vector<StatusWord>{0, 1, 2, 3, ErrorWord(kStatusNotOk)}));
    EXPECT_EQ(TreeOf(root_), before);
}

TEST_F(UpdateWorkerRun, PackageFileThatCannotBeCreatedGives19) {
    PublishThreePackages();
    Install("1.0.0", nginx_.Url("/list.cfg"));
    fs::create_directories(root_ / "download/p101.pak");  // a folder where the file goes
    const auto before = TreeOf(root_);
    RunInRoot();
    EXPECT_EQ(LastWord(), ErrorWord(kPackageFileFailed));
    EXPECT_EQ(TreeOf(root_), before);
}

TEST_F(UpdateWorkerRun, ShortWriteOrFailedCloseOfThePackageGives19) {
    for (const platform::FaultKind kind :
         {platform::FaultKind::kWrite, platform::FaultKind::kClose}) {
        Words().clear();
        PublishThreePackages();
        Install("1.0.0", nginx_.Url("/list.cfg"));
        const auto before = TreeOf(root_);
        platform::ResetFaults();
        platform::InjectFaultAt(kind, 1);  // the first package file's write or close
        RunInRoot();
        EXPECT_EQ(LastWord(), ErrorWord(kPackageFileFailed));
        EXPECT_EQ(TreeOf(root_), before);
    }
}

TEST_F(UpdateWorkerRun, BodyShorterOrLongerThanAnnouncedGives20AndStaysOnDisk) {
    for (const std::string& body : {std::string(50, 'x'), std::string(150, 'x')}) {
        Words().clear();
        LoopbackServer server(ServerScript()
                                  .ReadRequest()
                                  .Send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n" + body)
                                  .Close());
        Publish("list.cfg", ListRecord(V(1, 0, 1), server.Url("/p101.pak")));
        Install("1.0.0", nginx_.Url("/list.cfg"));
        const auto before = TreeOf(root_);
        RunInRoot();
        EXPECT_EQ(LastWord(), ErrorWord(kPackageIncomplete));
        EXPECT_EQ(TreeOf(root_), before);
        // What arrived is kept for inspection, up to the announced length.
        EXPECT_EQ(ReadFileBytes(root_ / "download/p101.pak"), body.substr(0, 100));
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
    testing_support::ScopedWorkingDir cwd(root_);
    EXPECT_EQ(ReadInstalledVersion(), V(1, 0, 0));
}

TEST_F(UpdateWorkerRun, CancelDuringADownloadEndsWith16AndAppliesNothing) {
    LoopbackServer server(
        ServerScript()
            .ReadRequest()
            .Send("HTTP/1.1 200 OK\r\nContent-Length: 10000\r\n\r\n" + std::string(3000, 'x'))
            .Call([] { CancelRequested = true; })
            .Send(std::string(3000, 'x'))
            .Pause(std::chrono::seconds(5)));
    Publish("list.cfg", ListRecord(V(1, 0, 1), server.Url("/p101.pak")));
    Install("1.0.0", nginx_.Url("/list.cfg"));
    const auto before = TreeOf(root_);
    RunInRoot();
    EXPECT_EQ(LastWord(), ErrorWord(kCancelled));
    EXPECT_EQ(TreeOf(root_), before);
}

TEST_F(UpdateWorkerRun, StopRecordSetsRerunAndLaterRecordsAreNotFetched) {
    PublishThreePackages();
    Publish("list.cfg", ListRecord(V(1, 0, 1), nginx_.Url("/p101.pak"), "-r") +
                            ListRecord(V(1, 0, 2), nginx_.Url("/never-fetched.pak")));
    Install("1.0.0", nginx_.Url("/list.cfg"));
    RunInRoot();
    EXPECT_EQ(LastWord(), StageWord(kStageAllApplied));
    EXPECT_TRUE(RerunRequired);
    EXPECT_EQ(SelectedPatches, (std::vector<PatchEntry>{{V(1, 0, 1), nginx_.Url("/p101.pak")}}));
    EXPECT_FALSE(fs::exists(root_ / "download/never-fetched.pak"));
}

TEST_F(UpdateWorkerRun, TwoUrlsWithOneFileNameShareTheFile) {
    fs::create_directories(www_ / "a");
    fs::create_directories(www_ / "b");
    Publish("a/p.pak", Package(V(1, 0, 1), {EntrySource::Add("readme.txt", "from a")}));
    Publish("b/p.pak", Package(V(1, 0, 2), {EntrySource::Add("readme.txt", "from b")}));
    Publish("list.cfg", ListRecord(V(1, 0, 1), nginx_.Url("/a/p.pak")) +
                            ListRecord(V(1, 0, 2), nginx_.Url("/b/p.pak")));
    Install("1.0.0", nginx_.Url("/list.cfg"));
    RunInRoot();
    // The second download overwrote the first, so the first entry's version
    // check fails before anything is applied.
    EXPECT_EQ(ReadFileBytes(root_ / "download/p.pak"), ReadFileBytes(www_ / "b/p.pak"));
    EXPECT_EQ(LastWord(), ErrorWord(kApplyFailed));
    EXPECT_EQ(ReadFileBytes(root_ / "readme.txt"), "version one\n");
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
