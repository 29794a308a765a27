#include <gtest/gtest.h>

#include "support/installation_files.h"
#include "support/nginx_server.h"
#include "support/temp_dir.h"
#include "transfer/http_get.h"
#include "vocabulary/cancel_request.h"
#include "vocabulary/error_codes.h"

namespace {

using testing_support::NginxServer;
using testing_support::TempDir;

TEST(HttpGetAgainstNginx, FetchesPackagesByteForByteAndMissingFilesFail) {
    TempDir root;
    const std::string package = testing_support::RandomBytes(3 * 1024 * 1024 + 17, 12345);
    testing_support::WriteFileBytes(root / "packages/p1.bin", package);
    testing_support::WriteFileBytes(root / "patchlist.cfg", "1.0.1 http://x/p1.bin - a b\n");
    NginxServer nginx(root.path());
    ASSERT_TRUE(nginx.running()) << nginx.error();

    ClearCancelRequest();
    std::string response;
    const HttpRequest request{nginx.Url("/packages/p1.bin"), BodyKind::kPackage, {500, 0}};
    const HttpResult fetched = HttpGet(request, response);
    EXPECT_EQ(fetched.code, kOk);
    EXPECT_TRUE(fetched.wholeAsAnnounced);
    EXPECT_TRUE(response == package) << "got " << response.size() << " bytes";

    EXPECT_EQ(HttpGet({nginx.Url("/patchlist.cfg"), BodyKind::kPatchList, {10, 0}}, response).code,
              kOk);
    EXPECT_EQ(response, "1.0.1 http://x/p1.bin - a b\n");
    const HttpResult missing =
        HttpGet({nginx.Url("/missing.bin"), BodyKind::kPackage, {500, 0}}, response);
    EXPECT_EQ(missing.code, kStatusNotAccepted);
    EXPECT_FALSE(missing.wholeAsAnnounced);
}

}  // namespace
