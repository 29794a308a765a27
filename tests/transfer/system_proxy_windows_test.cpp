// The Windows user's own proxy settings, as the updater takes them when no
// proxy variable is set: written into the registry the way the system's
// settings dialog keeps them, read back through WinHTTP, and used. Each case
// sees a HKEY_CURRENT_USER of its own (a key below the real one, removed
// afterwards), so the real user's settings are never touched.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/loopback_server.h"
#include "support/scratch_registry.h"
#include "transfer/http_get.h"
#include "transfer/proxy_choice.h"
#include "vocabulary/error_codes.h"

namespace {

using testing_support::LoopbackServer;
using testing_support::OkResponse;
using testing_support::ServerScript;

constexpr wchar_t kScratch[] = L"Software\\UpdaterTests\\SystemProxy";
constexpr wchar_t kConnections[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";

// The settings dialog's record: a header (its format's mark, a change
// counter, the flags), then the proxy and the bypass list, each an ANSI text
// after its length, then an empty automatic configuration address.
std::vector<std::uint8_t> ConnectionSettings(const std::string& proxy, const std::string& bypass) {
    constexpr std::uint32_t kFormat = 0x46;
    constexpr std::uint32_t kDirect = 0x1;
    constexpr std::uint32_t kFixedProxy = 0x2;
    std::vector<std::uint8_t> record;
    const auto word = [&record](std::uint32_t value) {
        for (int i = 0; i < 4; ++i)
            record.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    };
    const auto text = [&](const std::string& value) {
        word(static_cast<std::uint32_t>(value.size()));
        record.insert(record.end(), value.begin(), value.end());
    };
    word(kFormat);
    word(1);
    word(kDirect | kFixedProxy);
    text(proxy);
    text(bypass);
    text("");
    return record;
}

class SystemProxy : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(scratch_.ready()); }

    static void WriteSettings(const std::string& proxy, const std::string& bypass) {
        const std::vector<std::uint8_t> record = ConnectionSettings(proxy, bypass);
        ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kConnections, L"DefaultConnectionSettings",
                                  REG_BINARY, record.data(), static_cast<DWORD>(record.size())),
                  ERROR_SUCCESS);
    }

  private:
    testing_support::ScratchCurrentUser scratch_{kScratch};
};

TEST_F(SystemProxy, FixedProxyAndBypassListAreTakenWhenNoVariableIsSet) {
    ASSERT_FALSE(platform::EnvironmentVariable("http_proxy")) << "the test run sets none";
    EXPECT_FALSE(platform::SystemProxySettings()) << "no proxy before any is set";
    WriteSettings("http=127.0.0.1:3128;https=127.0.0.1:3129", "<local>;*.bypassed.example");
    const ProxySettings settings = CurrentProxySettings();
    EXPECT_EQ(settings.http, "127.0.0.1:3128");
    EXPECT_EQ(settings.https, "127.0.0.1:3129");
    EXPECT_EQ(settings.systemBypass, "<local>;*.bypassed.example");
    const ProxyChoice bypassed =
        ChooseProxy(*ParseUrl("https://updates.bypassed.example/list.cfg"), settings);
    EXPECT_FALSE(bypassed.route);
}

TEST_F(SystemProxy, ARequestGoesThroughTheUsersProxy) {
    LoopbackServer proxy(ServerScript{}.ReadRequest().Send(OkResponse("list")).Close());
    WriteSettings("127.0.0.1:" + std::to_string(proxy.port()), "");
    std::string body;
    std::string shown;
    HttpRequest request{"http://updates.example/list.cfg", BodyKind::kPatchList, {5, 0}};
    request.observeRoute = [&shown](const ConnectionRoute& route) { shown = route.proxy; };
    EXPECT_EQ(HttpGet(request, body).code, kOk);
    EXPECT_EQ(body, "list");
    EXPECT_TRUE(proxy.ReceivedRequest().starts_with("GET http://updates.example/list.cfg "));
    EXPECT_EQ(shown,
              "http://127.0.0.1:" + std::to_string(proxy.port()) + " (from system settings)");
}

}  // namespace
