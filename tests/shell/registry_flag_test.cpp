// Where the update-needed flag lives on Windows: the value bNeedUpdate of
// HKEY_CURRENT_USER\Software\kelvosession, read back with the registry's own
// calls. Each case sees a HKEY_CURRENT_USER of its own (a key below the real
// one, removed afterwards), so the real user's flag is never touched.
#include <gtest/gtest.h>
#include <windows.h>

#include <optional>
#include <string>

#include "shell/update_flag.h"
#include "support/scratch_registry.h"

namespace {

constexpr wchar_t kScratch[] = L"Software\\UpdaterTests\\UpdateFlag";
constexpr wchar_t kFlagKey[] = L"Software\\kelvosession";

class RegistryFlag : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(scratch_.ready()); }

    static void SetText(const wchar_t* name, const std::wstring& text) {
        ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kFlagKey, name, REG_SZ, text.c_str(),
                                  static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))),
                  ERROR_SUCCESS);
    }
    // The value as text, or nothing when it is absent.
    static std::optional<std::wstring> Text(const wchar_t* name) {
        wchar_t buffer[64] = {};
        DWORD size = sizeof buffer;
        if (RegGetValueW(HKEY_CURRENT_USER, kFlagKey, name, RRF_RT_REG_SZ, nullptr, buffer,
                         &size) != ERROR_SUCCESS) {
            return std::nullopt;
        }
        return std::wstring(buffer);
    }
    static bool KeyExists() {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, kFlagKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
            return false;
        RegCloseKey(key);
        return true;
    }

  private:
    testing_support::ScratchCurrentUser scratch_{kScratch};
};

TEST_F(RegistryFlag, AnExistingFlagBecomesFalseAndTheOtherValuesStay) {
    SetText(L"bNeedUpdate", L"true");
    SetText(L"lastRun", L"42");
    ClearUpdateNeededFlag();
    EXPECT_EQ(Text(L"bNeedUpdate"), L"false");
    EXPECT_EQ(Text(L"lastRun"), L"42");
}

TEST_F(RegistryFlag, AMissingFlagIsNotCreated) {
    ClearUpdateNeededFlag();
    EXPECT_FALSE(KeyExists());
    SetText(L"lastRun", L"42");
    ClearUpdateNeededFlag();
    EXPECT_EQ(Text(L"bNeedUpdate"), std::nullopt);
}

}  // namespace
