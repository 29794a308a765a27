#include "transfer/http_header.h"

#include <gtest/gtest.h>

namespace {

TEST(GetContentLength, ReadsTheFirstContentLengthLine) {
    EXPECT_EQ(GetContentLength("HTTP/1.1 200 OK\r\nContent-Length: 123\r\n\r\n"), 123);
    EXPECT_EQ(GetContentLength("Content-Length:5\r\n"), 5);
    EXPECT_EQ(GetContentLength("Content-Length: \t +7\r\n"), 7);
    EXPECT_EQ(GetContentLength("Content-Length: 9x\r\nContent-Length: 4\r\n"), 9);
    EXPECT_EQ(GetContentLength("Content-Length: 0\r\n"), 0);
    // Packages past 2 GiB and 4 GiB have lengths past 32 bits.
    EXPECT_EQ(GetContentLength("Content-Length: 4294967296\r\n"), std::int64_t{1} << 32);
    EXPECT_EQ(GetContentLength("Content-Length: 1125899906842624\r\n"), kLargestContentLength);
}

TEST(GetContentLength, UnusableValuesCountAsUnknown) {
    for (const char* header :
         {"HTTP/1.1 200 OK\r\n\r\n", "content-length: 5\r\n", "Content-Length: abc\r\n",
          "Content-Length: -5\r\n", "Content-Length: 1125899906842625\r\n",
          "Content-Length: 99999999999999999999999\r\n", "Content-Length:"}) {
        EXPECT_EQ(GetContentLength(header), kUnknownContentLength) << header;
    }
}

TEST(IsStatusOk, LooksForTwoHundredOkInTheStatusLineOnly) {
    EXPECT_TRUE(IsStatusOk("HTTP/1.1 200 OK\r\nServer: x\r\n\r\n"));
    EXPECT_TRUE(IsStatusOk("HTTP/1.0 200 OK\r\n\r\n"));
    EXPECT_TRUE(IsStatusOk("junk 200 OK"));  // no line feed at all
    EXPECT_FALSE(IsStatusOk("HTTP/1.1 404 Not Found\r\n\r\n"));
    EXPECT_FALSE(IsStatusOk("HTTP/1.1 302 Found\r\nX-Note: 200 OK\r\n\r\n"));
    EXPECT_FALSE(IsStatusOk("HTTP/1.1 200 ok\r\n\r\n"));
}

TEST(IsRedirectStatus, TakesTheFiveRedirectsOfTheStatusLine) {
    for (const char* header :
         {"HTTP/1.1 301 Moved Permanently\r\n", "HTTP/1.0 302 Found\r\n", "HTTP/1.1 303 See Other",
          "HTTP/1.1 307\r\n", "HTTP/1.1 308 Permanent Redirect\r\n\r\n"}) {
        EXPECT_TRUE(IsRedirectStatus(header)) << header;
    }
    for (const char* header :
         {"HTTP/1.1 200 OK\r\n", "HTTP/1.1 304 Not Modified\r\n", "HTTP/1.1 3020 Found\r\n",
          "ICY 302 Found\r\n", "HTTP/1.1 404 Not Found\r\nX-Was: HTTP/1.1 302 Found\r\n"}) {
        EXPECT_FALSE(IsRedirectStatus(header)) << header;
    }
}

TEST(FindHeaderField, FindsTheFirstFieldOfThatNameInAnyCase) {
    const std::string_view header =
        "HTTP/1.1 302 Found\r\nX-Location: no\r\nlocation: \t/first \r\nLocation: /second\r\n\r\n";
    EXPECT_EQ(FindHeaderField(header, "Location"), "/first");
    EXPECT_EQ(FindHeaderField("Location: /status-line-only\r\n\r\n", "Location"), std::nullopt);
    EXPECT_EQ(FindHeaderField(header, "Content-Length"), std::nullopt);
}

}  // namespace

namespace {

TEST(GetContentRange, TakesExactRangesAndTheUnsatisfiedFormOnly) {
    const auto range = GetContentRange("HTTP/1.1 206 Partial\r\ncontent-range: bytes 10-19/20\r\n");
    ASSERT_TRUE(range);
    EXPECT_EQ(range->first, 10);
    EXPECT_EQ(range->last, 19);
    EXPECT_EQ(range->total, 20);
    const auto open = GetContentRange("HTTP/1.1 206 Partial\r\nContent-Range: bytes 10-19/*\r\n");
    ASSERT_TRUE(open);
    EXPECT_EQ(open->total, -1);
    const auto refused =
        GetContentRange("HTTP/1.1 416 No\r\nContent-Range: bytes */4294967296\r\n");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->first, -1);
    EXPECT_EQ(refused->total, std::int64_t{1} << 32);
    for (const char* header :
         {"HTTP/1.1 206 P\r\n\r\n", "HTTP/1.1 206 P\r\nContent-Range: 10-19/20\r\n",
          "HTTP/1.1 206 P\r\nContent-Range: bytes 19-10/20\r\n",
          "HTTP/1.1 206 P\r\nContent-Range: bytes 10-20/20\r\n",
          "HTTP/1.1 206 P\r\nContent-Range: bytes 10-19/20x\r\n",
          "HTTP/1.1 206 P\r\nContent-Range: bytes -10-19/20\r\n",
          "HTTP/1.1 206 P\r\nContent-Range: bytes 10-/20\r\n",
          "HTTP/1.1 206 P\r\nContent-Range: bytes */*\r\n"}) {
        EXPECT_FALSE(GetContentRange(header)) << header;
    }
}

TEST(StatusCode, ReadsTheThreeDigitsOfTheStatusLine) {
    EXPECT_EQ(StatusCode("HTTP/1.1 206 Partial Content\r\n\r\n"), 206);
    EXPECT_EQ(StatusCode("HTTP/1.0 416\r\n"), 416);
    EXPECT_FALSE(StatusCode("HTTP/1.1 2067 Partial\r\n"));
    EXPECT_FALSE(StatusCode("HTTP/1.1 2x6 Partial\r\n"));
    EXPECT_FALSE(StatusCode("FTP/1.1 206 Partial\r\n"));
}

}  // namespace
