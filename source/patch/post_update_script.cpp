#include "patch/post_update_script.h"

#include <cstdio>

#include "patch/patch_package.h"
#include "platform/platform.h"
#include "platform/replace_file.h"

void RunPostUpdateScriptIfPresent(const std::string& installRoot) {
    const std::string script = PathBelowRoot(installRoot, kPostUpdateScriptName);
    std::FILE* file = platform::OpenFile(script, "rb");
    if (file == nullptr)
        return;
    // Closed first, so that nothing of ours holds the file while it runs or
    // when it is deleted.
    platform::CloseFile(file);
    platform::RunScriptHidden(kPostUpdateScriptName, installRoot, kPostUpdateScriptWaitSeconds);
    // Gone from the disk too, so a power cut cannot bring it back to run
    // again after a later package.
    if (platform::RemoveFile(script) == 0)
        platform::SyncFolderOf(script);
}
