#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"
#include "platform/posix/native_path.h"

extern char** environ;

namespace platform {
void RunScriptHidden(const std::string& scriptPath) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd = 0; fd <= 2; ++fd) {
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY,
                                         0);
    }
    const std::string script = NativePath(scriptPath);
    char shell[] = "/bin/sh";
    char* const argv[] = {shell, const_cast<char*>(script.c_str()), nullptr};
    pid_t child = 0;
    if (posix_spawn(&child, shell, &actions, nullptr, argv, environ) == 0) {
        int status = 0;
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    }
    posix_spawn_file_actions_destroy(&actions);
}

void StartProgramDetached(const std::string& programPath) {
    std::string program = NativePath(programPath);
    if (program.find('/') == std::string::npos)
        program = "./" + program;
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // Its own process group: the main application outlives the updater and
    // must not receive signals meant for the updater's group.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    char* const argv[] = {const_cast<char*>(program.c_str()), nullptr};
    pid_t child = 0;
    posix_spawn(&child, program.c_str(), nullptr, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
}

}  // namespace platform
