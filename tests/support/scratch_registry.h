// A HKEY_CURRENT_USER of a test's own (Windows only): while the object
// lives, a key below the real one stands in for it throughout the process
// (RegOverridePredefKey), so what the test and the code under test write
// never reaches the real user's settings. The key is removed before and
// after.
#pragma once

#include <string>

namespace testing_support {

class ScratchCurrentUser {
  public:
    explicit ScratchCurrentUser(std::wstring key);
    ~ScratchCurrentUser();
    ScratchCurrentUser(const ScratchCurrentUser&) = delete;
    ScratchCurrentUser& operator=(const ScratchCurrentUser&) = delete;

    // Whether the stand-in is in place; nothing else is when it is not.
    bool ready() const { return ready_; }

  private:
    std::wstring key_;
    void* scratch_ = nullptr;  // the stand-in key's HKEY
    bool ready_ = false;
};

}  // namespace testing_support
