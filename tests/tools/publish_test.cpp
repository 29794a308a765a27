// publish: release trees in, a site out; what it keeps on a second run, and
// what a failed run leaves behind.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "commands.h"
#include "platform/platform.h"
#include "publish_plan.h"
#include "tree_fixture.h"
#include "trust/ed25519.h"
#include "trust/sha256.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;
using tools_test::RandomBytes;

struct CommandRun {
    int status = -1;
    std::string out;
    std::string err;
};

CommandRun Patchtool(const std::vector<std::string>& words) {
    std::ostringstream out, err;
    CommandRun run;
    run.status = RunPatchTool(words, Console{out, err, false});
    run.out = out.str();
    run.err = err.str();
    return run;
}

class Publish : public ::testing::Test {
  protected:
    Publish() {
        WritePrivateKey(Ed25519SigningKey::Generate()->ToPem());
        publicKey_ = PublicKeyText(Ed25519SigningKey::FromPem(ReadFileBytes(key()))->PublicKey());
        // By name 1.0.10 sorts before 1.0.2; by version it comes last.
        AddRelease("1.0.0", RandomBytes(40000, 1));
        AddRelease("1.0.10", RandomBytes(40000, 3));
        AddRelease("1.0.2", RandomBytes(40000, 2));
        WriteFileBytes(releases() / "notes" / "todo.txt", "not a release\n");
    }

    // The key file as keygen leaves it: readable by its owner only.
    void WritePrivateKey(const std::string& pem) const {
        std::FILE* file = platform::CreatePrivateFile(key());
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(std::fwrite(pem.data(), 1, pem.size(), file), pem.size());
        EXPECT_EQ(std::fclose(file), 0);
    }

    void AddRelease(const std::string& version, const std::string& program,
                    const std::string& versionText = "") {
        tools_test::WriteTree(
            releases() / version,
            {{"config/version.cfg",
              "[Main]\nVersion=" + (versionText.empty() ? version : versionText) + "\n"},
             {"bin/app.exe", program}});
    }

    CommandRun PublishSite() {
        return Patchtool({"publish", "--releases", releases().string(), "--site", site().string(),
                          "--base-url", "https://127.0.0.1:8443/updates/", "--key", key()});
    }

    std::string Record(const std::string& version) {
        const std::string name = "update-" + version + ".pkg";
        return version + " https://127.0.0.1:8443/updates/" + name +
               " - sha256=" + Sha256Hex(Sha256Of(ReadFileBytes(site() / name))) + " -\n";
    }

    fs::path releases() const { return dir_ / "releases"; }
    fs::path site() const { return dir_ / "site"; }
    std::string key() const { return (dir_ / "signing.key").string(); }

    testing_support::TempDir dir_;
    std::string publicKey_;
};

TEST_F(Publish, BuildsEachStepListsAndSignsIt) {
    const CommandRun run = PublishSite();
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("ignored in the releases folder: 'notes'"), std::string::npos);
    EXPECT_EQ(ReadFileBytes(site() / "patchlist.cfg"), Record("1.0.2") + Record("1.0.10"));
    EXPECT_EQ(tools_test::ReadTree(site()).size(), 4u);  // two packages, the list, its .sig

    const CommandRun listed =
        Patchtool({"verify-list", (site() / "patchlist.cfg").string(), "--public-key", publicKey_});
    EXPECT_EQ(listed.status, 0) << listed.out << listed.err;
    // Each package goes from the release before it, not from the first.
    const CommandRun applied = Patchtool(
        {"verify", (site() / "update-1.0.10.pkg").string(), "--version", "1.0.10", "--from",
         (releases() / "1.0.2").string(), "--to", (releases() / "1.0.10").string()});
    EXPECT_EQ(applied.status, 0) << applied.err;

    EXPECT_NE(run.out.find("listen 127.0.0.1:8443 ssl;"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("location \"/updates/\""), std::string::npos);
    EXPECT_NE(run.out.find("alias \"" + (site() / "").generic_string() + "\";"), std::string::npos);
}

TEST_F(Publish, SecondRunBuildsOnlyTheNewPackage) {
    ASSERT_EQ(PublishSite().status, 0);
    const fs::path kept = site() / "update-1.0.2.pkg";
    const std::string bytes = ReadFileBytes(kept);
    const fs::file_time_type written = fs::last_write_time(kept);

    AddRelease("1.1.0", RandomBytes(40000, 4));
    const CommandRun run = PublishSite();
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("reused " + kept.string()), std::string::npos) << run.err;
    EXPECT_EQ(ReadFileBytes(kept), bytes);
    EXPECT_EQ(fs::last_write_time(kept), written);
    EXPECT_EQ(ReadFileBytes(site() / "patchlist.cfg"),
              Record("1.0.2") + Record("1.0.10") + Record("1.1.0"));
}

// Publishers prune old releases: the package for 1.0.10 in the site was
// built from 1.0.2, and taken as the step from 1.0.0 it would apply without
// a word and leave wrong bytes. It is rebuilt from the releases as they are.
TEST_F(Publish, PackageBuiltFromAPrunedReleaseIsRebuilt) {
    ASSERT_EQ(PublishSite().status, 0);
    fs::remove_all(releases() / "1.0.2");
    const CommandRun run = PublishSite();
    ASSERT_EQ(run.status, 0) << run.err;
    const fs::path package = site() / "update-1.0.10.pkg";
    EXPECT_NE(
        run.err.find("rebuilding " + package.string() + ": it was built from other release trees"),
        std::string::npos)
        << run.err;
    EXPECT_EQ(ReadFileBytes(site() / "patchlist.cfg"), Record("1.0.10"));
    const CommandRun applied =
        Patchtool({"verify", package.string(), "--version", "1.0.10", "--from",
                   (releases() / "1.0.0").string(), "--to", (releases() / "1.0.10").string()});
    EXPECT_EQ(applied.status, 0) << applied.err;
}

// Whoever can write the served folder can put a package there; publish
// signs only what it built itself from the releases.
TEST_F(Publish, PackageItDidNotMakeIsNeverSigned) {
    ASSERT_EQ(PublishSite().status, 0);
    const fs::path package = site() / "update-1.0.10.pkg";
    const std::string made = ReadFileBytes(package);
    const fs::path fresh = dir_ / "fresh-site";
    for (const fs::path& planted : {package, fresh / "update-1.0.10.pkg"}) {
        fs::create_directories(planted.parent_path());
        WriteFileBytes(planted, ReadFileBytes(site() / "update-1.0.2.pkg"));
    }
    const CommandRun changed = PublishSite();
    ASSERT_EQ(changed.status, 0) << changed.err;
    EXPECT_NE(changed.err.find("it is no longer the package publish made"), std::string::npos)
        << changed.err;
    EXPECT_EQ(ReadFileBytes(package), made);
    EXPECT_EQ(ReadFileBytes(site() / "patchlist.cfg"), Record("1.0.2") + Record("1.0.10"));

    const CommandRun planted =
        Patchtool({"publish", "--releases", releases().string(), "--site", fresh.string(),
                   "--base-url", "https://127.0.0.1:8443/updates/", "--key", key()});
    ASSERT_EQ(planted.status, 0) << planted.err;
    EXPECT_NE(planted.err.find("publish has no record of making it"), std::string::npos)
        << planted.err;
    EXPECT_EQ(ReadFileBytes(fresh / "update-1.0.10.pkg"), made);
}

TEST_F(Publish, FailedRunLeavesTheSiteAsItWas) {
    ASSERT_EQ(PublishSite().status, 0);
    const std::map<std::string, std::string> before = tools_test::ReadTree(site());
    // A version file that disagrees is found before anything is built; a name
    // the updater could not write fails the second new package, after the
    // first is already in the site.
    AddRelease("1.1.0", RandomBytes(40000, 4));
    AddRelease("1.2.0", RandomBytes(40000, 5), "1.2.1");
    CommandRun run = PublishSite();
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("gives version 1.2.1, not the folder's 1.2.0"), std::string::npos);
    EXPECT_EQ(tools_test::ReadTree(site()), before);

#ifdef _WIN32
    GTEST_SKIP() << "the disagreeing version was checked; the name the updater could not write "
                    "cannot be made on Windows, which reads \\ as a separator";
#else
    AddRelease("1.2.0", RandomBytes(40000, 5));
    WriteFileBytes(releases() / "1.2.0" / "bad\\name.txt", "x");
    run = PublishSite();
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("wrote " + (site() / "update-1.1.0.pkg").string()), std::string::npos);
    EXPECT_EQ(tools_test::ReadTree(site()), before);
#endif
}

#ifndef _WIN32
// A version file that is a link is skipped by the tree scan: the package
// would carry none, and installations would take it on every run.
TEST_F(Publish, ReleaseWhoseVersionFileIsALinkIsRefusedByPublishAndBuild) {
    const fs::path versionFile = releases() / "1.0.10" / "config" / "version.cfg";
    fs::rename(versionFile, dir_ / "version.cfg");
    fs::create_symlink(dir_ / "version.cfg", versionFile);
    const CommandRun published = PublishSite();
    EXPECT_EQ(published.status, 1);
    EXPECT_NE(published.err.find("config/version.cfg is not a regular file"), std::string::npos)
        << published.err;
    const CommandRun built = Patchtool({"build", "--from", (releases() / "1.0.2").string(), "--to",
                                        (releases() / "1.0.10").string(), "--version", "1.0.10",
                                        "-o", (dir_ / "p.pkg").string()});
    EXPECT_EQ(built.status, 1);
    EXPECT_NE(built.err.find("NEW's config/version.cfg is not a regular file"), std::string::npos)
        << built.err;
}

// A key others can read may have been copied already; it is not used, and the
// message says how to make it private.
TEST_F(Publish, KeyFileOthersCanReadIsRefused) {
    fs::permissions(key(), fs::perms::group_read | fs::perms::others_read, fs::perm_options::add);
    const CommandRun run = PublishSite();
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(
        run.err.find("can be read by others than its owner; make it private first: chmod 600 '" +
                     key() + "'"),
        std::string::npos)
        << run.err;
    EXPECT_FALSE(fs::exists(site()));
}
#endif

TEST_F(Publish, WrongCommandLinesAreUsageErrors) {
    const std::string dirs[] = {"--releases", releases().string(), "--site", site().string()};
    const std::vector<std::vector<std::string>> extras = {
        {},
        {"--base-url", "ftp://127.0.0.1/"},
        {"--base-url", "http://127.0.0.1/u?x=1"},
        {"--base-url", "https://"},
        {"--base-url", "http://127.0.0.1", "--codec", "zip"},
        {"--base-url", "http://127.0.0.1", "--list", "lists/patchlist.cfg"},
    };
    for (const auto& extra : extras) {
        std::vector<std::string> words = {"publish"};
        words.insert(words.end(), std::begin(dirs), std::end(dirs));
        words.insert(words.end(), extra.begin(), extra.end());
        EXPECT_EQ(Patchtool(words).status, 2) << (extra.empty() ? "" : extra.back());
    }
    EXPECT_FALSE(fs::exists(site()));
}

TEST(SiteAddress, JoinsFileNamesCleanly) {
    for (const char* base : {"http://localhost:8080", "http://localhost:8080/", "https://h/a//"}) {
        SiteAddress site;
        std::string error;
        ASSERT_TRUE(ParseSiteAddress(base, &site, &error)) << base << ": " << error;
        EXPECT_EQ(SiteFileUrl(site, "p.pkg").find("//p.pkg"), std::string::npos) << base;
        EXPECT_EQ(SiteFileUrl(site, "p.pkg").substr(0, site.base.size()), site.base);
    }
    SiteAddress site;
    std::string error;
    ASSERT_TRUE(ParseSiteAddress("http://updates.example.org/app", &site, &error));
    const std::string block = NginxServerBlock(site, "/srv/my site");
    EXPECT_NE(block.find("listen 80;\n    server_name updates.example.org;"), std::string::npos);
    EXPECT_NE(block.find("alias \"/srv/my site/\";"), std::string::npos) << block;
    EXPECT_EQ(block.find("ssl"), std::string::npos);
    ASSERT_TRUE(ParseSiteAddress("https://[::1]:8443/app", &site, &error)) << error;
    EXPECT_NE(NginxServerBlock(site, "/srv").find("listen [::1]:8443 ssl;"), std::string::npos);
}

}  // namespace
