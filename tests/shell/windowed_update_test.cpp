// The updater people run, end to end: the real `update` program in a
// temporary installation, against nginx or the scripted server on 127.0.0.1,
// watched and clicked the way a person would. On Linux it runs on a virtual
// X display of each case's own; the Windows build runs under Wine, on the
// display Wine was started on. The outcome is read off the screen: the strip
// of the notice that holds the outcome picture is compared with each of the
// four pictures.
#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>
#include <QSettings>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "desktop.h"
#include "engine/patch_list.h"
#include "patch/build_codecs.h"
#include "patch/package_writer.h"
#include "support/installation_files.h"
#include "support/loopback_server.h"
#include "support/nginx_server.h"
#include "support/temp_dir.h"
#include "support/under_wine.h"
#include "trust/sha256.h"
#include "vocabulary/packed_version.h"
#ifndef _WIN32
#include "virtual_display.h"
#endif

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing_support::ChildProcess;
using testing_support::Desktop;
using testing_support::LoopbackServer;
using testing_support::NginxServer;
using testing_support::ReadFileBytes;
using testing_support::ReadTree;
using testing_support::ScreenWindow;
using testing_support::ServerScript;
using testing_support::Tree;
using testing_support::Utf8Path;
using testing_support::VersionFile;
using testing_support::WriteFileBytes;

// Generous, for the sanitizer build on a busy machine; a passing run takes a
// fraction of them.
constexpr auto kWindowLimit = 30s;
constexpr auto kExitLimit = 30s;

constexpr QSize kProgressSize(594, 242);
constexpr QSize kNoticeSize(290, 165);
// The buttons' centres and the outcome strip (noteImageLabel), inside their
// windows.
constexpr QPoint kCancelCentre(500 + 33, 205 + 11);
constexpr QPoint kOkCentre(112 + 33, 125 + 11);
constexpr QRect kOutcomeStrip(0, 80, 290, 20);

const char* const kOutcomePictures[] = {"tip1.png", "tip2.png", "tip3.png", "tip4.png"};

QString Picture(const std::string& name) {
    return QStringLiteral(PICTURES_DIR "/") + QString::fromStdString(name);
}

// The outcome picture as the notice shows it: over the notice's background.
QImage ExpectedStrip(const std::string& picture) {
    QImage strip = QImage(Picture("infoWindowBg.png"))
                       .copy(kOutcomeStrip)
                       .convertToFormat(QImage::Format_RGB32);
    QPainter painter(&strip);
    painter.drawImage(0, 0, QImage(Picture(picture)));
    return strip;
}

// The share of pixels that differ by more than a little in some channel.
double DifferingShare(const QImage& seen, const QImage& expected) {
    if (seen.size() != expected.size())
        return 1.0;
    int differing = 0;
    for (int y = 0; y < seen.height(); ++y) {
        for (int x = 0; x < seen.width(); ++x) {
            const QRgb a = seen.pixel(x, y);
            const QRgb b = expected.pixel(x, y);
            if (std::abs(qRed(a) - qRed(b)) > 40 || std::abs(qGreen(a) - qGreen(b)) > 40 ||
                std::abs(qBlue(a) - qBlue(b)) > 40) {
                ++differing;
            }
        }
    }
    return differing / static_cast<double>(seen.width() * seen.height());
}

// Which outcome picture the notice shows: the one that matches its strip on
// all but 1 % of the pixels (different pictures differ on more than 10 %).
// Looks again for a while, since a window may be mapped before it is painted.
std::string OutcomeOnScreen(const Desktop& desktop, const ScreenWindow& notice) {
    std::string closest = "nothing captured";
    double closestShare = 1.0;
    const auto deadline = std::chrono::steady_clock::now() + kWindowLimit;
    do {
        const QImage strip = desktop.Capture(notice, kOutcomeStrip.x(), kOutcomeStrip.y(),
                                             kOutcomeStrip.width(), kOutcomeStrip.height());
        for (const char* picture : kOutcomePictures) {
            const double share = DifferingShare(strip, ExpectedStrip(picture));
            if (share < 0.01)
                return picture;
            if (share < closestShare) {
                closest = picture;
                closestShare = share;
            }
        }
        std::this_thread::sleep_for(100ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return "none (closest " + closest + ", " + std::to_string(closestShare * 100) + " % off)";
}

std::string ListRecord(const std::string& version, const std::string& url,
                       const std::string& options = "-", const std::string& digest = "-") {
    return version + " " + url + " " + options + " " + digest + " -\n";
}

std::string Package(PackedVersion version, const std::vector<EntrySource>& entries,
                    PackageCodec codec) {
    std::string package;
    EXPECT_TRUE(BuildPackage(codec, version, entries, &package));
    return package;
}

// The names and values in the flag's group, kelvosession.
using FlagGroup = std::map<std::string, std::string>;

class WindowedUpdate : public ::testing::Test {
  protected:
    void SetUp() override {
#ifdef _WIN32
        // The updater writes the flag to HKEY_CURRENT_USER: only the registry
        // of the Wine prefix the tests run in is the tests' own.
        if (!testing_support::UnderWine())
            GTEST_SKIP() << "runs under Wine only: it would change the real user's registry";
#else
        for (const char* tool : {"Xvfb", "xdotool"}) {
            if (!testing_support::ProgramOnPath(tool))
                GTEST_SKIP() << tool << " is not installed; the windowed tests need it";
        }
        display_ = std::make_unique<testing_support::VirtualDisplay>();
        ASSERT_TRUE(display_->running()) << display_->error();
        fs::create_directories(home_ / "runtime");
        fs::permissions(home_ / "runtime", fs::perms::owner_all, fs::perm_options::replace);
#endif
        for (const fs::path& dir : {root_, www_, home_ / "config", home_ / "system"}) {
            fs::create_directories(dir);
        }
        started_ = true;
        desktop_ = std::make_unique<Desktop>(SessionEnvironment());
    }

    // A home and settings folders of the test's own, for the updater and for
    // the tools that look at it, and the display they use; the stand-in for
    // the main application learns where to record its starts.
    std::map<std::string, std::string> SessionEnvironment() const {
#ifdef _WIN32
        return {{ "QUILLMERE_STARTS", Utf8Path(outer_ / "starts") }};
#else
        return {{"DISPLAY", display_->name()},
                {"WAYLAND_DISPLAY", ""},
                {"HOME", home_.path().string()},
                {"XDG_CONFIG_HOME", (home_ / "config").string()},
                {"XDG_CONFIG_DIRS", (home_ / "system").string()},
                {"XDG_CACHE_HOME", (home_ / "cache").string()},
                {"XDG_DATA_HOME", (home_ / "data").string()},
                {"XDG_RUNTIME_DIR", (home_ / "runtime").string()}};
#endif
    }

    void TearDown() override {
        if (!HasFailure() || !started_)
            return;
#ifndef _WIN32
        std::fprintf(stderr, "Xvfb's output:\n%s\n", display_->log().c_str());
#endif
        if (fs::exists(outer_ / "update.log"))
            std::fprintf(stderr, "update's output:\n%s\n",
                         ReadFileBytes(outer_ / "update.log").c_str());
    }

    // An installation at `version` whose patch list is at `listUrl`, with a
    // stand-in main application that records each start.
    void Install(const std::string& version, const std::string& listUrl) {
        WriteFileBytes(root_ / "config/version.cfg", VersionFile(version, listUrl));
        WriteFileBytes(root_ / "bin/app.dat", std::string(4000, 'a'));
        WriteFileBytes(root_ / "readme.txt", "version one\n");
#ifdef _WIN32
        fs::copy_file(MAIN_APPLICATION_STAND_IN, root_ / "Quillmere.exe");
#else
        WriteFileBytes(root_ / "Quillmere.exe", "#!/bin/sh\necho \"started in $(pwd)\" >> '" +
                                                    (outer_ / "starts").string() + "'\n");
        fs::permissions(root_ / "Quillmere.exe", fs::perms::owner_all, fs::perm_options::add);
#endif
    }

    // Two packages on the server: 1.0.1 modifies a file; 1.1.0 adds a file in
    // a new nested folder, replaces one and brings the new version file.
    void PublishTwoPackages(const NginxServer& server, const std::string& firstOptions = "-") {
        WriteFileBytes(
            www_ / "p101.pak",
            Package(PackVersion(1, 0, 1), {EntrySource::Modify("bin/app.dat", {{10, "XYZ"}}, 4100)},
                    testing_support::AnyCodec()));
        WriteFileBytes(www_ / "p110.pak",
                       Package(PackVersion(1, 1, 0),
                               {EntrySource::Add("data/new/a.txt", "fresh\n"),
                                EntrySource::Add("readme.txt", "version two\n"),
                                EntrySource::Add("config/version.cfg",
                                                 VersionFile("1.1.0", server.Url("/list.cfg")))},
                               PackageCodec::kBzip2));
        WriteFileBytes(www_ / "list.cfg",
                       ListRecord("1.0.0", server.Url("/p100.pak")) +
                           ListRecord("1.0.1", server.Url("/p101.pak"), firstOptions) +
                           ListRecord("1.1.0", server.Url("/p110.pak")));
    }

    static std::string AppAfterFirstPackage() {
        std::string app(4000, 'a');
        app.replace(10, 3, "XYZ");
        app.resize(4100, '\0');
        return app;
    }

    // The flag's group as the main application left it: in the registry
    // under HKEY_CURRENT_USER\Software on Windows, in the settings file the
    // updater reads on Linux.
    std::unique_ptr<QSettings> FlagSettings() const {
#ifdef _WIN32
        return std::make_unique<QSettings>(
            QStringLiteral("HKEY_CURRENT_USER\\Software\\kelvosession"), QSettings::NativeFormat);
#else
        auto settings = std::make_unique<QSettings>(
            QString::fromStdString((home_ / "config/Software.conf").string()),
            QSettings::IniFormat);
        settings->beginGroup(QStringLiteral("kelvosession"));
        return settings;
#endif
    }
    void SetFlagGroup(const FlagGroup& values) const {
        const std::unique_ptr<QSettings> settings = FlagSettings();
        settings->remove(QString());
        for (const auto& [name, value] : values) {
            settings->setValue(QString::fromStdString(name), QString::fromStdString(value));
        }
    }
    FlagGroup FlagGroupNow() const {
        const std::unique_ptr<QSettings> settings = FlagSettings();
        FlagGroup values;
        for (const QString& name : settings->childKeys()) {
            values[name.toStdString()] = settings->value(name).toString().toStdString();
        }
        return values;
    }

    void StartUpdater() {
        std::map<std::string, std::string> environment = SessionEnvironment();
#ifndef _WIN32
        environment["QT_QPA_PLATFORM"] = "xcb";
#endif
        // The updater inherits the test's LSAN_OPTIONS, which carry the desktop
        // suppressions in the sanitizer build.
        updater_ = std::make_unique<ChildProcess>(std::vector<std::string>{UPDATE_PROGRAM},
                                                  testing_support::EnvironmentWith(environment),
                                                  root_, outer_ / "update.log");
        ASSERT_TRUE(updater_->started()) << "cannot start " << UPDATE_PROGRAM;
    }

    std::optional<ScreenWindow> WaitForWindow(QSize size) const {
        return desktop_->WaitForWindow(updater_->pid(), size.width(), size.height(), kWindowLimit);
    }

    // Reads the outcome off the notice, makes sure the main application has
    // not been started while the notice is up, clicks OK and waits for the
    // updater to end. Returns the outcome picture seen.
    std::string FinishRun() {
        const std::optional<ScreenWindow> notice = WaitForWindow(kNoticeSize);
        if (!notice)
            return "no notice window";
        noticeTitle_ = desktop_->TitleOf(*notice);
        const std::string outcome = OutcomeOnScreen(*desktop_, *notice);
        EXPECT_FALSE(fs::exists(outer_ / "starts")) << "started before OK was clicked";
        desktop_->ClickAt(*notice, kOkCentre.x(), kOkCentre.y());
        EXPECT_EQ(updater_->WaitForExit(kExitLimit), 0);
        return outcome;
    }

    // Whether the stand-in for the main application was started once, in
    // the installation, once the last start has had time to be recorded.
    ::testing::AssertionResult StartedOnceInTheInstallation() const {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!fs::exists(outer_ / "starts") && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(20ms);
        }
        std::this_thread::sleep_for(200ms);
        const std::string starts =
            fs::exists(outer_ / "starts") ? ReadFileBytes(outer_ / "starts") : "";
        // One line, "started in FOLDER", with FOLDER in UTF-8.
        const std::string prefix = "started in ";
        const bool oneLine = starts.starts_with(prefix) && starts.find('\n') + 1 == starts.size();
        const std::string folder =
            oneLine ? starts.substr(prefix.size(), starts.size() - prefix.size() - 1) : "";
        std::error_code error;
        if (oneLine &&
            fs::equivalent(fs::path(std::u8string(folder.begin(), folder.end())), root_, error))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "the starts recorded: \"" << starts << "\"";
    }

    // Holds the patch list back until both window titles are read. The
    // installation is up to date, so the notice follows the progress window.
    void ReadTitlesOfBothWindows() {
        std::promise<void> release;
        const std::shared_future<void> released = release.get_future().share();
        LoopbackServer server(ServerScript()
                                  .ReadRequest()
                                  .Call([released] { released.wait_for(kWindowLimit); })
                                  .Send(testing_support::OkResponse(
                                      ListRecord("1.0.0", "http://127.0.0.1/p100.pak"))));
        Install("1.0.0", server.Url("/list.cfg"));
        StartUpdater();
        const std::optional<ScreenWindow> progress = WaitForWindow(kProgressSize);
        progressTitle_ = progress ? desktop_->TitleOf(*progress) : "no progress window";
        release.set_value();
        EXPECT_EQ(FinishRun(), "tip2.png");
    }

    testing_support::TempDir outer_;
    testing_support::TempDir home_;
    fs::path root_ = outer_ / "install";
    fs::path www_ = outer_ / "www";
#ifndef _WIN32
    std::unique_ptr<testing_support::VirtualDisplay> display_;
#endif
    bool started_ = false;
    std::unique_ptr<Desktop> desktop_;
    std::unique_ptr<ChildProcess> updater_;
    std::string progressTitle_;
    std::string noticeTitle_;
};

TEST_F(WindowedUpdate, SuccessUpdatesTheTreeClearsTheFlagAndStartsTheAppAfterOk) {
    NginxServer nginx(www_);
    ASSERT_TRUE(nginx.running()) << nginx.error();
    Install("1.0.0", nginx.Url("/list.cfg"));
    PublishTwoPackages(nginx);
    SetFlagGroup({{"bNeedUpdate", "true"}, {"lastRun", "42"}});
    StartUpdater();

    EXPECT_EQ(FinishRun(), "tip1.png");
    const Tree updated = ReadTree(root_);
    EXPECT_EQ(updated.at("bin/app.dat"), AppAfterFirstPackage());
    EXPECT_EQ(updated.at("data/new/a.txt"), "fresh\n");
    EXPECT_EQ(updated.at("readme.txt"), "version two\n");
    EXPECT_EQ(updated.at("config/version.cfg"), VersionFile("1.1.0", nginx.Url("/list.cfg")));
    EXPECT_EQ(FlagGroupNow(), (FlagGroup{{"bNeedUpdate", "false"}, {"lastRun", "42"}}));
    EXPECT_TRUE(StartedOnceInTheInstallation());
}

TEST_F(WindowedUpdate, SuccessDoesNotCreateAMissingFlag) {
    NginxServer nginx(www_);
    ASSERT_TRUE(nginx.running()) << nginx.error();
    Install("1.0.0", nginx.Url("/list.cfg"));
    PublishTwoPackages(nginx);
    const FlagGroup withoutFlag{{"lastRun", "42"}};
    SetFlagGroup(withoutFlag);
    StartUpdater();

    EXPECT_EQ(FinishRun(), "tip1.png");
    EXPECT_EQ(ReadFileBytes(root_ / "readme.txt"), "version two\n");
    EXPECT_EQ(FlagGroupNow(), withoutFlag);
    EXPECT_TRUE(StartedOnceInTheInstallation());
}

TEST_F(WindowedUpdate, StopRecordShowsSuccessButLeavesTheFlagSet) {
    NginxServer nginx(www_);
    ASSERT_TRUE(nginx.running()) << nginx.error();
    Install("1.0.0", nginx.Url("/list.cfg"));
    PublishTwoPackages(nginx, "-r");
    const FlagGroup flagSet{{"bNeedUpdate", "true"}};
    SetFlagGroup(flagSet);
    StartUpdater();

    EXPECT_EQ(FinishRun(), "tip1.png");
    EXPECT_EQ(ReadFileBytes(root_ / "bin/app.dat"), AppAfterFirstPackage());
    EXPECT_EQ(ReadFileBytes(root_ / "readme.txt"), "version one\n");
    EXPECT_FALSE(fs::exists(root_ / "data"));
    EXPECT_EQ(FlagGroupNow(), flagSet);
    EXPECT_TRUE(StartedOnceInTheInstallation());
}

TEST_F(WindowedUpdate, NothingNewerShowsUpToDate) {
    NginxServer nginx(www_);
    ASSERT_TRUE(nginx.running()) << nginx.error();
    Install("1.1.0", nginx.Url("/list.cfg"));
    PublishTwoPackages(nginx);
    const FlagGroup flagSet{{"bNeedUpdate", "true"}};
    SetFlagGroup(flagSet);
    const auto before = ReadTree(root_);
    StartUpdater();

    EXPECT_EQ(FinishRun(), "tip2.png");
    EXPECT_EQ(ReadTree(root_), before);
    EXPECT_EQ(FlagGroupNow(), flagSet);
    EXPECT_TRUE(StartedOnceInTheInstallation());
}

TEST_F(WindowedUpdate, AMissingPackageShowsFailureAndAppliesNothing) {
    NginxServer nginx(www_);
    ASSERT_TRUE(nginx.running()) << nginx.error();
    Install("1.0.0", nginx.Url("/list.cfg"));
    PublishTwoPackages(nginx);
    fs::remove(www_ / "p110.pak");
    const FlagGroup flagSet{{"bNeedUpdate", "true"}};
    SetFlagGroup(flagSet);
    const auto before = ReadTree(root_);
    StartUpdater();

    EXPECT_EQ(FinishRun(), "tip3.png");
    EXPECT_EQ(ReadTree(root_), before);
    EXPECT_EQ(FlagGroupNow(), flagSet);
    EXPECT_TRUE(StartedOnceInTheInstallation());
}

TEST_F(WindowedUpdate, APackageChangedOnTheWayShowsFailureAndAppliesNothing) {
    NginxServer nginx(www_);
    ASSERT_TRUE(nginx.running()) << nginx.error();
    Install("1.0.0", nginx.Url("/list.cfg"));
    PublishTwoPackages(nginx);
    // The list carries the packages' digests; then one byte of the second
    // package changes, as an attacker on the way would change it.
    std::string list;
    for (const char* name : {"p101.pak", "p110.pak"}) {
        const std::string digest = FormatDigestField(Sha256Of(ReadFileBytes(www_ / name)));
        list += ListRecord(name == std::string("p101.pak") ? "1.0.1" : "1.1.0",
                           nginx.Url(std::string("/") + name), "-", digest);
    }
    WriteFileBytes(www_ / "list.cfg", list);
    std::string changed = ReadFileBytes(www_ / "p110.pak");
    changed[20] = static_cast<char>(changed[20] ^ 1);
    WriteFileBytes(www_ / "p110.pak", changed);
    const FlagGroup flagSet{{"bNeedUpdate", "true"}};
    SetFlagGroup(flagSet);
    const auto before = ReadTree(root_);
    StartUpdater();

    EXPECT_EQ(FinishRun(), "tip3.png");
    EXPECT_EQ(ReadTree(root_), before);
    EXPECT_FALSE(fs::exists(root_ / "download/p110.pak"));
    EXPECT_EQ(FlagGroupNow(), flagSet);
    EXPECT_TRUE(StartedOnceInTheInstallation());
}

TEST_F(WindowedUpdate, CancelDuringASlowDownloadShowsCancelledAndAppliesNothing) {
    std::atomic<bool> downloading{false};
    // The package trickles in over ten seconds, far longer than finding and
    // clicking Cancel takes; the server stops dripping when the test ends.
    ServerScript drip;
    drip.ReadRequest()
        .Call([&] { downloading = true; })
        .Send("HTTP/1.1 200 OK\r\nContent-Length: 200000\r\n\r\n");
    for (int piece = 0; piece < 400; ++piece) {
        drip.Send(std::string(500, 'x')).Pause(25ms);
    }
    LoopbackServer packages(std::move(drip));
    NginxServer nginx(www_);
    ASSERT_TRUE(nginx.running()) << nginx.error();
    Install("1.0.0", nginx.Url("/list.cfg"));
    WriteFileBytes(www_ / "list.cfg", ListRecord("1.0.1", packages.Url("/p101.pak")));
    const FlagGroup flagSet{{"bNeedUpdate", "true"}};
    SetFlagGroup(flagSet);
    const auto before = ReadTree(root_);
    StartUpdater();

    const std::optional<ScreenWindow> progress = WaitForWindow(kProgressSize);
    ASSERT_TRUE(progress) << "no progress window";
    const auto deadline = std::chrono::steady_clock::now() + kWindowLimit;
    while (!downloading && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(downloading) << "the package download did not begin";
    desktop_->ClickAt(*progress, kCancelCentre.x(), kCancelCentre.y());

    EXPECT_EQ(FinishRun(), "tip4.png");
    EXPECT_EQ(ReadTree(root_), before);
    EXPECT_FALSE(fs::exists(root_ / "download/p101.pak"));
    EXPECT_EQ(FlagGroupNow(), flagSet);
    EXPECT_TRUE(StartedOnceInTheInstallation());
}

TEST_F(WindowedUpdate, WithoutATranslationTheTitlesAreEnglish) {
    ReadTitlesOfBothWindows();
    EXPECT_EQ(progressTitle_, "Update notice");
    EXPECT_EQ(noticeTitle_, "Update notice");
    EXPECT_TRUE(StartedOnceInTheInstallation());
}

TEST_F(WindowedUpdate, WithTheTranslationTheTitlesAreChinese) {
    fs::create_directories(root_ / "language");
    fs::copy_file(BUILT_TRANSLATION, root_ / "language/update_zh_CN.qm");
    ReadTitlesOfBothWindows();
    EXPECT_EQ(progressTitle_, "更新提示");
    EXPECT_EQ(noticeTitle_, "更新提示");
}

}  // namespace
