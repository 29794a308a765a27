// What every patchtool command shares: reading its command line, reporting
// mistakes and failures the same way.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "arguments.h"
#include "command.h"
#include "commands.h"

// "patchtool: MESSAGE" on the error stream.
void Error(const Console& console, const std::string& message);
void Warn(const Console& console, const std::vector<std::string>& warnings);

// Reports a wrong command line and points at the command's help; returns
// kExitUsage.
int UsageError(const Console& console, const std::string& command, const std::string& message);

// Parses the words of one command and checks them against its declaration:
// known options, the required ones given, its operands and no more. On a
// wrong command line reports it and leaves the exit status in `*status`.
// Returns true when the command should run (not for --help, which is
// answered here).
bool ParseCommand(const std::vector<std::string>& words, const Command& command,
                  const Console& console, ParsedArguments* parsed, int* status);

bool ReadVersionOption(const ParsedArguments& parsed, const char* command, const Console& console,
                       PackedVersion* version, int* status);

// The codec --codec names, when given; `*codec` stays as it is otherwise.
bool ReadCodecOption(const ParsedArguments& parsed, const char* command, const Console& console,
                     PackageCodec* codec, int* status);
