#include <gtest/gtest.h>

#include "engine/error_codes.h"
#include "support/nginx_server.h"
#include "support/temp_dir.h"
#include "transfer/http_get.h"

namespace {

using testing_support::NginxServer;
using testing_support::TempDir;

std::string RandomishBytes(std::size_t size) {
    std::string bytes(size, '\0');
    std::uint32_t state = 12345;
    for (char& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

TEST(HttpGetAgainstNginx, FetchesPackagesByteForByteAndMissingFilesFail) {
    TempDir root;
    const std::string package = RandomishBytes(3 * 1024 * 1024 + 17);
    testing_support::WriteFileBytes(root / "packages/p1.bin", package);
    testing_support::WriteFileBytes(root / "patchlist.cfg", "1.0.1 http://x/p1.bin - a b\n");
    NginxServer nginx(root.path());
    ASSERT_TRUE(nginx.running()) << nginx.error();

    CancelRequested = false;
    PendingPackageCount = 2;
    std::string response;
    EXPECT_EQ(HttpGet(nginx.Url("/packages/p1.bin"), response, true, nullptr, 500, 0), kOk);
    EXPECT_TRUE(response == package) << "got " << response.size() << " bytes";
    EXPECT_EQ(PendingPackageCount, 1u);

    EXPECT_EQ(HttpGet(nginx.Url("/patchlist.cfg"), response, false, nullptr, 10, 0), kOk);
    EXPECT_EQ(response, "1.0.1 http://x/p1.bin - a b\n");
    EXPECT_EQ(HttpGet(nginx.Url("/missing.bin"), response, true, nullptr, 500, 0), kStatusNotOk);
    EXPECT_EQ(PendingPackageCount, 1u);
}

}  // namespace
