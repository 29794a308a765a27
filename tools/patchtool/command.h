// A patchtool command as it is declared: its name, its operand, its options,
// the texts of its help, and what runs it. Operands and options are declared
// once, here: the command-line check (unknown and missing options, the number
// of operands), the synopsis and the option list are all made from them, so
// none of them can disagree with another.
#pragma once

#include <string>
#include <vector>

#include "arguments.h"
#include "commands.h"

enum class Presence { kOptional, kRequired };

struct CommandOption {
    OptionSpec spec;
    // What the help shows after the option's name ("FILE"); empty for a flag.
    std::string value;
    // The help after the name, wrapped to the help's width where it is shown.
    std::string help;
    Presence presence = Presence::kOptional;
};

// A word the command takes besides its options.
struct Operand {
    std::string name;     // as the synopsis shows it: "FILE"
    std::string missing;  // what the error calls it when it is missing
};

struct Command {
    std::string name;
    // One line in the tool's list of commands.
    std::string summary;
    std::vector<Operand> operands;  // each one must be given
    // The paragraphs between the synopsis and the options.
    std::string description;
    std::vector<CommandOption> options;  // --help is added to every command
    // Paragraphs after the options; empty for none.
    std::string notes;
    int (*run)(const std::vector<std::string>& words, const Console& console) = nullptr;
};

// The --codec option of the commands that build packages, its value and help
// naming the codecs of this build's codec table ("lzo|bzip2|zstd").
CommandOption CodecOption();

// The command's help text, made from its declaration.
std::string UsageOf(const Command& command);

// What the parser is given for the command: its options and --help.
std::vector<OptionSpec> OptionSpecsOf(const Command& command);

// The commands, each declared and run in a file of its own
// (NAME_command.cpp), in the order the tool's help lists them.
const Command& BuildCommand();
const Command& InspectCommand();
const Command& VerifyCommand();
const Command& RecordCommand();
const Command& KeygenCommand();
const Command& SignCommand();
const Command& VerifyListCommand();
const Command& PublishCommand();
