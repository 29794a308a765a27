// Used by the platform implementations only: the test hooks' side.
//
// The platform library is built twice (source/platform/CMakeLists.txt): the
// test variant with UPDATER_TEST_HOOKS=1, where every hook below is a real
// function (fault_injection.cpp), and the product variant with
// UPDATER_TEST_HOOKS=0, which the shipped programs link. In the product
// variant the hooks the calls ask are consteval constants, worked out while
// compiling, so a call asks nothing at run time and the dead branch is
// dropped at any optimisation level; the disk observer's two functions are
// reached only through `if constexpr (kTestHooks)` and have no definition
// there at all.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/test_hooks.h"

#ifndef UPDATER_TEST_HOOKS
#error "the platform library is built with UPDATER_TEST_HOOKS set to 0 or 1"
#endif

namespace platform {

inline constexpr bool kTestHooks = UPDATER_TEST_HOOKS != 0;

#if UPDATER_TEST_HOOKS

// Counts one call of `kind` and tells whether the armed fault hook wants
// this call to fail.
bool ShouldFail(FaultKind kind);

// The free space a test made AvailableSpace answer, if any.
std::optional<std::int64_t> InjectedAvailableSpace();

bool SyncsSkipped();

#else

consteval bool ShouldFail(FaultKind) {
    return false;
}

consteval std::optional<std::int64_t> InjectedAvailableSpace() {
    return std::nullopt;
}

consteval bool SyncsSkipped() {
    return false;
}

#endif

// The addresses a test gave `name`, if it gave any. Call it only inside
// `if constexpr (kTestHooks)`.
std::optional<std::vector<IpAddress>> InjectedAddresses(const std::string& name);

// Hands `event` to the disk observer; DiskObserved() tells whether there is
// one, so a caller builds the event only then. Call both only inside
// `if constexpr (kTestHooks)`.
void Notify(const DiskEvent& event);
bool DiskObserved();

// Tells the disk observer, if there is one, of a change to an open file or
// of its sync (test variant only); `file` may be null for a descriptor of
// OpenReadWrite.
inline void NotifyOpenFile(DiskChange kind, std::FILE* file, int descriptor,
                           const void* data = nullptr, std::uint64_t size = 0) {
    if constexpr (kTestHooks) {
        if (!DiskObserved())
            return;
        DiskEvent event;
        event.kind = kind;
        event.file = file;
        event.descriptor = descriptor;
        event.data = data;
        event.size = size;
        Notify(event);
    }
}

}  // namespace platform
