// The environment and the user's own proxy settings under Windows.
#include <windows.h>
#include <winhttp.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "platform/platform.h"
#include "platform/windows/wide_path.h"

namespace platform {
namespace {

// WinHTTP hands out its strings with GlobalAlloc; each one is freed here,
// whatever the caller keeps of it.
std::string TakeGlobalString(LPWSTR text) {
    if (text == nullptr)
        return {};
    std::string utf8 = Narrow(text);
    GlobalFree(text);
    return utf8;
}

}  // namespace

std::optional<std::string> EnvironmentVariable(const char* name) {
    // The wide environment: a value outside the ANSI code page (a proxy
    // password, say) comes through exactly.
    const wchar_t* value = _wgetenv(Widen(name).c_str());
    if (value == nullptr)
        return std::nullopt;
    return Narrow(value);
}

std::optional<SystemProxy> SystemProxySettings() {
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
    if (!WinHttpGetIEProxyConfigForCurrentUser(&config))
        return std::nullopt;
    // Only the fixed proxy is taken; running an automatic configuration
    // script would need a script engine the updater does not carry.
    TakeGlobalString(config.lpszAutoConfigUrl);
    SystemProxy settings{TakeGlobalString(config.lpszProxy),
                         TakeGlobalString(config.lpszProxyBypass)};
    if (settings.proxy.empty())
        return std::nullopt;
    return settings;
}

}  // namespace platform
