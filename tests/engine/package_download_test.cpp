// One package's download to disk: continued, started over, refused or not
// fetched at all, against the scripted server (exact answers) and nginx
// (real ranges).
#include "engine/package_download.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "support/installation_files.h"
#include "support/loopback_server.h"
#include "support/nginx_server.h"
#include "support/temp_dir.h"
#include "trust/sha256.h"

namespace {

namespace fs = std::filesystem;
using testing_support::LoopbackServer;
using testing_support::NginxServer;
using testing_support::ReadFileBytes;
using testing_support::ServerScript;
using testing_support::WriteFileBytes;

constexpr std::size_t kHalf = 6000;

class PackageDownloadTest : public ::testing::Test {
  protected:
    PackageDownloadTest() { fs::create_directories(root_ / "download"); }

    ErrorCode Download(const std::string& url, bool withDigest = false) {
        patch_.url = url;
        patch_.digest = {};
        if (withDigest)
            patch_.digest = {PackageDigest::Kind::kSha256, Sha256Of(package_)};
        return DownloadPackage({patch_, root_.string(), Path("")});
    }
    std::string Path(const std::string& suffix) const {
        return (root_ / "download" / ("p.pak" + suffix)).string();
    }
    void LeavePartial(const std::string& bytes) { WriteFileBytes(Path(".partial"), bytes); }
    std::string Rest() const { return package_.substr(kHalf); }
    std::string RangeAnswer(const std::string& contentRange, const std::string& body) const {
        return "HTTP/1.1 206 Partial Content\r\nContent-Length: " + std::to_string(body.size()) +
               "\r\nContent-Range: " + contentRange + "\r\n\r\n" + body;
    }
    // Only the package under its own name; nothing left beside it.
    void ExpectOnlyThePackage() const {
        EXPECT_EQ(ReadFileBytes(Path("")), package_);
        EXPECT_FALSE(fs::exists(Path(".partial")));
    }

    testing_support::TempDir dir_;
    fs::path root_ = dir_.path();
    fs::path www_ = dir_ / "www";
    std::string package_ = testing_support::RandomBytes(12000, 7);
    SelectedPatch patch_;
};

TEST_F(PackageDownloadTest, PartialFileIsContinuedByA206ForItsRangeAndTheDigestCoversAll) {
    for (const bool withDigest : {false, true}) {
        LeavePartial(package_.substr(0, kHalf));
        LoopbackServer server(
            ServerScript().ReadRequest().Send(RangeAnswer("bytes 6000-11999/12000", Rest())));
        EXPECT_EQ(Download(server.Url("/p.pak"), withDigest), kOk);
        EXPECT_NE(server.ReceivedRequest().find("\r\nRange: bytes=6000-\r\n"), std::string::npos);
        ExpectOnlyThePackage();
        fs::remove(Path(""));
    }
}

TEST_F(PackageDownloadTest, A200ToTheRangeStartsTheFileOver) {
    LeavePartial(std::string(kHalf, 'z'));
    LoopbackServer server(ServerScript().ReadRequest().Send(testing_support::OkResponse(package_)));
    EXPECT_EQ(Download(server.Url("/p.pak"), true), kOk);
    ExpectOnlyThePackage();
}

TEST_F(PackageDownloadTest, A206ForAnyOtherRangeFailsAndDropsThePartialFile) {
    const std::string wrongRanges[] = {
        "bytes 5000-11999/12000",  // another start
        "bytes 6000-11998/12000",  // stops short of the end
        "bytes 6000-11999/13000",  // another total than the length gives
        "bytes */12000",           // no range at all
    };
    for (const std::string& range : wrongRanges) {
        LeavePartial(package_.substr(0, kHalf));
        LoopbackServer server(ServerScript().ReadRequest().Send(RangeAnswer(range, Rest())));
        EXPECT_EQ(Download(server.Url("/p.pak")), kStatusNotAccepted) << range;
        EXPECT_FALSE(fs::exists(Path(""))) << range;
        EXPECT_FALSE(fs::exists(Path(".partial"))) << range;
    }
}

TEST_F(PackageDownloadTest, ContinuedBodyWithAnotherDigestIsFetchedAgainFromTheStart) {
    LeavePartial(std::string(kHalf, 'z'));  // from an older version of the file
    LoopbackServer server(
        {ServerScript().ReadRequest().Send(RangeAnswer("bytes 6000-11999/12000", Rest())),
         ServerScript().ReadRequest().Send(testing_support::OkResponse(package_))});
    EXPECT_EQ(Download(server.Url("/p.pak"), true), kOk);
    const std::string requests = server.ReceivedRequest();
    EXPECT_EQ(requests.find("Range:"), requests.rfind("Range:")) << "only the first asks a range";
    ExpectOnlyThePackage();
}

TEST_F(PackageDownloadTest, NginxContinuesOrRefusesRangesAndEitherWayTheFileEndsWhole) {
    WriteFileBytes(www_ / "p.pak", package_);
    NginxServer nginx(www_);
    ASSERT_TRUE(nginx.running()) << nginx.error();
    const std::string cases[] = {
        package_.substr(0, kHalf),  // continued with a 206
        package_ + "and more",      // longer than the package: 416, fetched anew
        package_,                   // whole already: 416 with its size
    };
    for (const std::string& partial : cases) {
        LeavePartial(partial);
        EXPECT_EQ(Download(nginx.Url("/p.pak")), kOk) << partial.size();
        ExpectOnlyThePackage();
        fs::remove(Path(""));
    }
}

TEST_F(PackageDownloadTest, WholePackageIsNotFetchedAgain) {
    // With a digest nothing is asked of the server at all: there is none.
    WriteFileBytes(Path(""), package_);
    EXPECT_EQ(Download("http://127.0.0.1:9/p.pak", true), kOk);
    ExpectOnlyThePackage();
    // Without one the server is asked only whether it is whole.
    LoopbackServer server(ServerScript().ReadRequest().Send(
        "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */12000\r\n\r\n"));
    EXPECT_EQ(Download(server.Url("/p.pak")), kOk);
    EXPECT_NE(server.ReceivedRequest().find("Range: bytes=12000-"), std::string::npos);
    ExpectOnlyThePackage();
    // A file the digest does not match is not the package.
    WriteFileBytes(Path(""), std::string(12000, 'z'));
    EXPECT_NE(Download("http://127.0.0.1:9/p.pak", true), kOk);
    EXPECT_FALSE(fs::exists(Path("")));
}

TEST_F(PackageDownloadTest, ContinuationCarriesItsValidatorAndBytesOfAnotherUrlAreDropped) {
    const std::string cutShort =
        "HTTP/1.1 200 OK\r\nETag: \"v1\"\r\nContent-Length: 12000\r\n\r\n" +
        package_.substr(0, kHalf);
    LoopbackServer server(
        {ServerScript().ReadRequest().Send(cutShort),
         ServerScript().ReadRequest().Send(RangeAnswer("bytes 6000-11999/12000", Rest()))});
    EXPECT_EQ(Download(server.Url("/p.pak")), kPackageIncomplete);
    EXPECT_EQ(Download(server.Url("/p.pak")), kOk);
    EXPECT_NE(server.ReceivedRequest().find("Range: bytes=6000-\r\nIf-Range: \"v1\"\r\n"),
              std::string::npos);
    ExpectOnlyThePackage();

    fs::remove(Path(""));
    LoopbackServer first(ServerScript().ReadRequest().Send(cutShort));
    EXPECT_EQ(Download(first.Url("/a/p.pak")), kPackageIncomplete);
    LoopbackServer other(ServerScript().ReadRequest().Send(testing_support::OkResponse(package_)));
    EXPECT_EQ(Download(other.Url("/b/p.pak")), kOk);
    EXPECT_EQ(other.ReceivedRequest().find("Range:"), std::string::npos);
    ExpectOnlyThePackage();
}

}  // namespace
