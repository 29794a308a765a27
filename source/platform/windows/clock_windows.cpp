#include <windows.h>

#include "platform/platform.h"

namespace platform {

std::uint32_t TickCount() {
    return GetTickCount();
}

void YieldTimeSlice() {
    Sleep(0);
}

}  // namespace platform
