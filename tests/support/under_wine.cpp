#include "support/under_wine.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace testing_support {

bool UnderWine() {
#ifdef _WIN32
    // Wine's own ntdll exports its version; Windows' has no such export.
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

}  // namespace testing_support
