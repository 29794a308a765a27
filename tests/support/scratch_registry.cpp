#include "support/scratch_registry.h"

#include <windows.h>

#include <utility>

namespace testing_support {

ScratchCurrentUser::ScratchCurrentUser(std::wstring key) : key_(std::move(key)) {
    RegDeleteTreeW(HKEY_CURRENT_USER, key_.c_str());
    HKEY scratch = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, key_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &scratch, nullptr) != ERROR_SUCCESS) {
        return;
    }
    scratch_ = scratch;
    ready_ = RegOverridePredefKey(HKEY_CURRENT_USER, scratch) == ERROR_SUCCESS;
}

ScratchCurrentUser::~ScratchCurrentUser() {
    if (ready_)
        RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    if (scratch_ != nullptr)
        RegCloseKey(static_cast<HKEY>(scratch_));
    RegDeleteTreeW(HKEY_CURRENT_USER, key_.c_str());
}

}  // namespace testing_support
