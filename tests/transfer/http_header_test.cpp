#include "transfer/http_header.h"

#include <gtest/gtest.h>

namespace {

TEST(GetContentLength, ReadsTheFirstContentLengthLine) {
    EXPECT_EQ(GetContentLength("HTTP/1.1 200 OK\r\nContent-Length: 123\r\n\r\n"), 123);
    EXPECT_EQ(GetContentLength("Content-Length:5\r\n"), 5);
    EXPECT_EQ(GetContentLength("Content-Length: \t +7\r\n"), 7);
    EXPECT_EQ(GetContentLength("Content-Length: 9x\r\nContent-Length: 4\r\n"), 9);
    EXPECT_EQ(GetContentLength("Content-Length: 0\r\n"), 0);
    EXPECT_EQ(GetContentLength("Content-Length: 2147483647\r\n"), 2147483647);
}

TEST(GetContentLength, UnusableValuesCountAsUnknown) {
    for (const char* header :
         {"HTTP/1.1 200 OK\r\n\r\n", "content-length: 5\r\n", "Content-Length: abc\r\n",
          "Content-Length: -5\r\n", "Content-Length: 2147483648\r\n",
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

}  // namespace
