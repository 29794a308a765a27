#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"
#include "platform/posix/native_path.h"

extern char** environ;

namespace platform {
namespace {

// Spawn attributes that give a child the signal dispositions and mask a
// freshly started program expects. The updater ignores SIGPIPE for its own
// sockets, and an ignored signal survives exec: a script or the main
// application would otherwise never be stopped by a closed pipe.
class ChildAttributes {
  public:
    explicit ChildAttributes(short extraFlags = 0) {
        posix_spawnattr_init(&attributes_);
        sigset_t all;
        sigfillset(&all);
        posix_spawnattr_setsigdefault(&attributes_, &all);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attributes_, &none);
        posix_spawnattr_setflags(
            &attributes_,
            static_cast<short>(POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | extraFlags));
    }
    ~ChildAttributes() { posix_spawnattr_destroy(&attributes_); }
    ChildAttributes(const ChildAttributes&) = delete;
    ChildAttributes& operator=(const ChildAttributes&) = delete;

    posix_spawnattr_t* get() { return &attributes_; }

  private:
    posix_spawnattr_t attributes_;
};

constexpr long kPollIntervalNanoseconds = 20 * 1000 * 1000;

// Waits for `child` until it ends or `limitSeconds` have passed; a child still
// running then is left to run on.
void WaitAtMost(pid_t child, int limitSeconds) {
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        int status = 0;
        const pid_t ended = waitpid(child, &status, WNOHANG);
        if (ended == child || (ended < 0 && errno != EINTR))
            return;
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const double elapsed = static_cast<double>(now.tv_sec - start.tv_sec) +
                               static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
        if (elapsed >= limitSeconds)
            return;
        const timespec pause{0, kPollIntervalNanoseconds};
        nanosleep(&pause, nullptr);
    }
}

}  // namespace

void RunScriptHidden(const std::string& scriptPath, const std::string& workingFolder,
                     int waitLimitSeconds) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd = 0; fd <= 2; ++fd) {
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY,
                                         0);
    }
    // The child enters the folder itself, after the fork: the updater's own
    // working directory is shared by all its threads and stays as it is. The
    // opens above name an absolute path, so their order does not matter. A
    // folder the child cannot enter fails the spawn, so the script never runs
    // elsewhere.
    const std::string folder = NativePath(workingFolder);
    const bool entered =
        folder.empty() || posix_spawn_file_actions_addchdir_np(&actions, folder.c_str()) == 0;
    ChildAttributes attributes;
    const std::string script = NativePath(scriptPath);
    char shell[] = "/bin/sh";
    char* const argv[] = {shell, const_cast<char*>(script.c_str()), nullptr};
    pid_t child = 0;
    if (entered && posix_spawn(&child, shell, &actions, attributes.get(), argv, environ) == 0)
        WaitAtMost(child, waitLimitSeconds);
    posix_spawn_file_actions_destroy(&actions);
}

void StartProgramDetached(const std::string& programPath) {
    std::string program = NativePath(programPath);
    if (program.find('/') == std::string::npos)
        program = "./" + program;
    // Its own process group: the main application outlives the updater and
    // must not receive signals meant for the updater's group.
    ChildAttributes attributes(POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(attributes.get(), 0);
    char* const argv[] = {const_cast<char*>(program.c_str()), nullptr};
    pid_t child = 0;
    posix_spawn(&child, program.c_str(), nullptr, attributes.get(), argv, environ);
}

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
    return {argv, argv + argc};
}

void UseUtf8Console() {}

bool StandardErrorIsTerminal() {
    return isatty(STDERR_FILENO) == 1;
}

}  // namespace platform
