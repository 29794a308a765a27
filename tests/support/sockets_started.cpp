// Windows Sockets must be started in a process before its first socket call,
// which POSIX never asks for. The update worker starts them at the start of
// each run; test programs that call the transfer functions directly link this
// file, which starts them for the whole program as the worker would.
#include <gtest/gtest.h>

#include "platform/platform.h"

namespace {

class SocketsStarted : public ::testing::Environment {
  public:
    void SetUp() override { ASSERT_TRUE(platform::StartSockets()); }
    void TearDown() override { platform::StopSockets(); }
};

[[maybe_unused]] ::testing::Environment* const kSocketsStarted =
    ::testing::AddGlobalTestEnvironment(new SocketsStarted);

}  // namespace
