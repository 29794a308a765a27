// Used by the platform implementations only: the test hooks' side.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/platform.h"

namespace platform {

// Counts one call of `kind` and tells whether the armed fault hook wants
// this call to fail.
bool ShouldFail(FaultKind kind);

// The free space a test made AvailableSpace answer, if any.
std::optional<std::int64_t> InjectedAvailableSpace();

bool SyncsSkipped();

// Hands `event` to the disk observer; DiskObserved() tells whether there is
// one, so a caller builds the event only then.
void Notify(const DiskEvent& event);
bool DiskObserved();

}  // namespace platform
