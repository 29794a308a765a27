// A name's addresses, looked up on a thread of its own. The system's resolver
// cannot be stopped once asked: one whose DNS server never answers would hold
// the run for as long as it pleases, with Cancel unheard. Waited for here
// instead, it costs the exchange no more than the time it was given.
//
// Worker thread only.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"
#include "vocabulary/error_codes.h"

// Looks `name` up (platform::ResolveHost) and waits at most `budget` for the
// answer, asking CancelRequested() at least every 250 ms. Returns kOk with
// `addresses` holding the answer (empty when the name has no address) and
// `budget` reduced by the time waited; kUrlUnusableOrWaitFailed when no
// answer came within the budget; kCancelled. An answer that comes too late
// is dropped by the thread that waited for it.
ErrorCode LookUpName(const std::string& name, platform::TimeVal& budget,
                     std::vector<platform::IpAddress>& addresses);
