#include "transfer/redirect.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Resolved(const std::string& base, const std::string& location) {
    const std::optional<Url> url = ResolveLocation(*ParseUrl(base), location);
    return url ? FormatUrl(*url) : "(refused)";
}

TEST(ResolveLocation, ReadsEveryFormAgainstTheUrlThatAnswered) {
    const std::string base = "https://srv:8443/dir/sub/list.cfg?old=1";
    const struct {
        const char* location;
        const char* url;
    } cases[] = {
        {"http://other/p.bin", "http://other/p.bin"},
        {"https://other:444/p.bin?v=2", "https://other:444/p.bin?v=2"},
        {"//mirror/p.bin", "https://mirror/p.bin"},
        {"/p.bin?v=2", "https://srv:8443/p.bin?v=2"},
        {"p.bin", "https://srv:8443/dir/sub/p.bin"},
        {"next/p.bin?v=2#part", "https://srv:8443/dir/sub/next/p.bin?v=2"},
        {"../p.bin", "https://srv:8443/dir/p.bin"},
        {"./a/../../../../p.bin", "https://srv:8443/p.bin"},
        {"..", "https://srv:8443/dir/"},
        {"?v=3", "https://srv:8443/dir/sub/list.cfg?v=3"},
        {"p.bin?back=../x", "https://srv:8443/dir/sub/p.bin?back=../x"},
        {"", "(refused)"},
        {"#only", "(refused)"},
        {"ftp://srv/p.bin", "(refused)"},
        {"HTTPS://srv/p.bin", "(refused)"},
        {"https://srv:0/p.bin", "(refused)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Resolved(base, c.location), c.url) << c.location;
}

TEST(RedirectChain, NeverLeadsFromHttpsToHttp) {
    const std::string header = "HTTP/1.1 302 Found\r\nLocation: http://srv/p.bin\r\n\r\n";
    Url next;
    RedirectChain fromSecure(*ParseUrl("https://srv/list.cfg"));
    EXPECT_EQ(fromSecure.Follow(header, next), kRedirectRefused);
    RedirectChain fromPlain(*ParseUrl("http://srv/list.cfg"));
    EXPECT_EQ(fromPlain.Follow(header, next), kOk);
    EXPECT_EQ(FormatUrl(next), "http://srv/p.bin");
    // Upwards is fine, and afterwards the way back down is closed.
    EXPECT_EQ(fromPlain.Follow("HTTP/1.1 301 Moved\r\nlocation: https://srv/p.bin\r\n\r\n", next),
              kOk);
    EXPECT_EQ(fromPlain.Follow(header, next), kRedirectRefused);
}

}  // namespace
