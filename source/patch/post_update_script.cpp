#include "patch/post_update_script.h"

#include "platform/platform.h"

void RunPostUpdateScript(std::FILE* script) {
    // Closed first, so that nothing of ours holds the file while it runs or
    // when it is deleted.
    platform::CloseFile(script);
    platform::RunScriptHidden(kPostUpdateScriptName, kPostUpdateScriptWaitSeconds);
    platform::RemoveFile(kPostUpdateScriptName);
}
