// Programs started with posix_spawn and waited for with waitpid.
#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <thread>

extern char** environ;

namespace testing_support {
namespace {

std::vector<char*> PointersTo(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

pid_t Spawn(std::vector<std::string> argv, std::vector<std::string> environment,
            const std::filesystem::path& workingDir, const std::filesystem::path& output,
            const std::vector<std::pair<int, int>>& redirects) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output.empty() ? "/dev/null" : output.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    for (const auto& [from, to] : redirects) {
        posix_spawn_file_actions_adddup2(&actions, from, to);
    }
    if (!workingDir.empty())
        posix_spawn_file_actions_addchdir_np(&actions, workingDir.c_str());
    const std::vector<char*> arguments = PointersTo(argv);
    const std::vector<char*> variables = PointersTo(environment);
    pid_t pid = -1;
    if (posix_spawnp(&pid, arguments[0], &actions, nullptr, arguments.data(), variables.data()) !=
        0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

std::optional<int> StatusOf(int waitStatus) {
    return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1;
}

}  // namespace

std::vector<std::string> EnvironmentWith(const std::map<std::string, std::string>& changes) {
    std::vector<std::string> environment;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        const std::string entry = *variable;
        if (!changes.contains(entry.substr(0, entry.find('='))))
            environment.push_back(entry);
    }
    for (const auto& [name, value] : changes) {
        if (!value.empty())
            environment.push_back(name + "=" + value);
    }
    return environment;
}

bool ProgramOnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::istringstream folders(path != nullptr ? path : "");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        const std::filesystem::path candidate = std::filesystem::path(folder) / program;
        if (!folder.empty() && access(candidate.c_str(), X_OK) == 0)
            return true;
    }
    return false;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::vector<std::string>& environment,
                           const std::filesystem::path& workingDir,
                           const std::filesystem::path& output,
                           const std::vector<std::pair<int, int>>& redirects)
    : pid_(Spawn(argv, environment, workingDir, output, redirects)) {}

ChildProcess::~ChildProcess() {
    Stop();
}

std::optional<int> ChildProcess::WaitForExit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (started() && !exitStatus_) {
        int status = 0;
        const pid_t waited = waitpid(pid_, &status, WNOHANG);
        if (waited == pid_) {
            exitStatus_ = StatusOf(status);
        } else if (waited < 0 && errno != EINTR) {
            exitStatus_ = -1;
        } else if (std::chrono::steady_clock::now() >= deadline) {
            break;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    return exitStatus_;
}

void ChildProcess::Stop() {
    if (!started() || WaitForExit(std::chrono::milliseconds(0)))
        return;
    kill(pid_, SIGTERM);
    if (!WaitForExit(std::chrono::seconds(5))) {
        kill(pid_, SIGKILL);
        WaitForExit(std::chrono::seconds(5));
    }
}

std::optional<std::string> RunTool(const std::vector<std::string>& argv,
                                   const std::vector<std::string>& environment) {
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0)
        return std::nullopt;
    std::optional<std::string> output;
    {
        // Its complaints (a window that vanished while it looked) are noise;
        // a failed tool shows as no output.
        ChildProcess tool(argv, environment, {}, {}, {{pipeEnds[1], 1}});
        close(pipeEnds[1]);
        if (tool.started()) {
            output.emplace();
            char buffer[65536];
            ssize_t count = 0;
            while ((count = read(pipeEnds[0], buffer, sizeof buffer)) != 0) {
                if (count > 0)
                    output->append(buffer, static_cast<std::size_t>(count));
                else if (errno != EINTR)
                    break;
            }
            if (tool.WaitForExit(std::chrono::seconds(30)) != 0)
                output.reset();
        }
    }
    close(pipeEnds[0]);
    return output;
}

}  // namespace testing_support
