// The patch-list parser on arbitrary text: it must never crash, never take
// a record that is not newer than the installed version, and stop at the
// first stop record it takes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "engine/patch_list.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The first four bytes are the installed version, the rest the list.
    PackedVersion installed = 0;
    if (size >= sizeof installed) {
        std::memcpy(&installed, data, sizeof installed);
        data += sizeof installed;
        size -= sizeof installed;
    }
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    const PatchSelection selection = ParsePatchList(installed, text);
    const std::vector<SelectedPatch>& list = selection.selectedPatches;

    // Every record starts with a token of at least five bytes ("1.2.3").
    FUZZ_CHECK(list.size() <= text.size() / 5 + 1);
    for (const SelectedPatch& patch : list) {
        FUZZ_CHECK(patch.version > installed);
        FUZZ_CHECK(patch.url.size() <= text.size());
        FUZZ_CHECK(text.find(patch.url) != std::string_view::npos);
    }
    if (selection.rerunRequired) {
        FUZZ_CHECK(!list.empty());
        FUZZ_CHECK(text.find("-r") != std::string_view::npos);
    }
    return 0;
}
