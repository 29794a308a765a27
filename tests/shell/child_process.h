// Programs the end-to-end tests start: the updater and, on Linux, the virtual
// X server and the desktop tools that drive it. Each gets an environment of
// its own, so nothing the programs read or write reaches the real user's
// folders. child_process_posix.cpp and child_process_windows.cpp hold the two
// ways of starting and waiting for a program.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

// This process's environment with `changes` applied: a change with an empty
// value removes the variable, any other sets it.
std::vector<std::string> EnvironmentWith(const std::map<std::string, std::string>& changes);

// A program running in the background, stopped by its pid if it is still
// running when the object goes away.
class ChildProcess {
  public:
    // Starts argv[0] in `workingDir` with `environment` (UTF-8 texts);
    // standard input is empty, standard output and error are appended to
    // `output` (discarded when it is empty). On POSIX argv[0] is searched in
    // PATH, and `redirects` are further (descriptor of this process,
    // descriptor in the child) pairs; Windows takes none. started() tells
    // whether it ran.
    ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                 const std::filesystem::path& workingDir, const std::filesystem::path& output,
                 const std::vector<std::pair<int, int>>& redirects = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // Waits up to `timeout` for the program to end. Returns its exit status,
    // -1 when a signal ended it, nothing while it still runs.
    std::optional<int> WaitForExit(std::chrono::milliseconds timeout);
    // Asks the program to end (SIGTERM), then forces it after a while; on
    // Windows it is ended at once.
    void Stop();

  private:
    pid_t pid_ = -1;
#ifdef _WIN32
    void* process_ = nullptr;  // the process's handle
#endif
    std::optional<int> exitStatus_;
};

#ifndef _WIN32
// Whether `program` is an executable file in a folder of PATH.
bool ProgramOnPath(const std::string& program);

// Runs a tool to its end with `environment` and returns its standard output,
// or nothing when it could not start or exited with a status other than 0.
std::optional<std::string> RunTool(const std::vector<std::string>& argv,
                                   const std::vector<std::string>& environment);
#endif

}  // namespace testing_support
