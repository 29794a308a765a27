// Used by the platform implementations only: counts one call of `kind` and
// tells whether the armed fault hook wants this call to fail.
#pragma once

#include "platform/platform.h"

namespace platform {

bool ShouldFail(FaultKind kind);

}  // namespace platform
