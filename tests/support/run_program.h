// Runs one of the project's programs (patchtool, say) the way a publisher's
// script would, with its output in files: through the shell on POSIX, and
// started directly on Windows, where no POSIX shell is at hand.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace testing_support {

// Runs `program` with `arguments`, its input empty, its standard output
// written to `output` and its standard error to `errors` (to `output` too
// when `errors` is empty). Returns its exit status, or -1 when it could not
// be run or did not exit by itself (a signal ended it, say).
int RunProgram(const std::filesystem::path& program, const std::vector<std::string>& arguments,
               const std::filesystem::path& output, const std::filesystem::path& errors = {});

}  // namespace testing_support
