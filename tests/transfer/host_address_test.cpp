#include "transfer/host_address.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"

namespace {

std::string Reading(const std::string& field) {
    const Host host = ParseHost(field);
    switch (host.kind) {
        case Host::Kind::kName:
            return "name " + host.name;
        case Host::Kind::kAddress:
            return "address " + platform::FormatIpAddress(host.address);
        case Host::Kind::kUnusable:
            break;
    }
    return "unusable";
}

// Each host has one reading, and a text that other readers take for some
// other address (octal, hex, short forms) has none at all.
TEST(ParseHost, ReadsEachHostOneWayOrRefusesIt) {
    const struct {
        const char* field;
        const char* reading;
    } cases[] = {
        {"10.0.0.1", "address 10.0.0.1"},
        {"255.255.255.255", "address 255.255.255.255"},
        {"0.0.0.0", "address 0.0.0.0"},
        {"[::1]", "address ::1"},
        {"[::ffff:10.0.0.1]", "address ::ffff:10.0.0.1"},
        {"updates.example.com", "name updates.example.com"},
        {"1.example", "name 1.example"},
        {"localhost", "name localhost"},
        {"build_host-2", "name build_host-2"},
        {"010.0.0.1", "unusable"},
        {"127.1", "unusable"},
        {"2130706433", "unusable"},
        {"0x7f.0.0.1", "unusable"},
        {"127.0.0.0x1", "unusable"},
        {"1.2.3.256", "unusable"},
        {"1.2.3.4.5", "unusable"},
        {"1..2.3", "unusable"},
        {"10.0.0.1.", "unusable"},
        {"example.123", "unusable"},
        {"[fe80::1%25eth0]", "unusable"},
        {"[10.0.0.1]", "unusable"},
        {"[]", "unusable"},
        {"[::1", "unusable"},
        {"127.0.0.1 x", "unusable"},
        {"exa%mple.com", "unusable"},
        {"", "unusable"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Reading(c.field), c.reading) << c.field;
}

TEST(ParseHost, AddressFieldWritesWhatParseHostReads) {
    for (const char* field : {"192.0.2.7", "[2001:db8::7]", "[::1]"})
        EXPECT_EQ(AddressField(ParseHost(field).address), field);
}

}  // namespace
