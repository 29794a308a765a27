// The subcommands of patchtool: build, inspect, verify and record for
// packages; keygen, sign and verify-list for signed patch lists; publish for
// a whole site from release trees. Each is declared and run in a file of its
// own (command.h); this is the dispatcher.
//
// Results go to `out` (the inspect table, the verify verdict, the record
// line, a new public key, the verify-list report, publish's nginx server
// block); help asked for goes there too. Errors, warnings and the build,
// signing and publishing summaries go to `err`, each line starting with
// "patchtool: ". A private key never goes to either.
#pragma once

#include <ostream>
#include <string>
#include <vector>

// Exit statuses.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;  // the work failed (bad package, unreadable tree, ...)
inline constexpr int kExitUsage = 2;    // the command line itself is wrong

struct Console {
    std::ostream& out;
    std::ostream& err;
    bool showProgress = false;  // progress lines on `err` (only for a terminal)
};

// Runs the command line without the program name: a subcommand and its
// words. Returns the exit status.
int RunPatchTool(const std::vector<std::string>& words, const Console& console);
