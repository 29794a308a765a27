// A patchtool command as it is declared: its name, its options, the texts of
// its help, and what runs it. The options are declared once, here, and both
// the command-line parser and the help text are made from them, so the two
// never disagree.
#pragma once

#include <string>
#include <vector>

#include "arguments.h"
#include "commands.h"

struct CommandOption {
    OptionSpec spec;
    // What the help shows after the option's name ("FILE"); empty for a flag.
    std::string value;
    // The help line after the name, with "\n" where it goes on below.
    std::string help;
};

struct Command {
    std::string name;
    // One line in the tool's list of commands.
    std::string summary;
    // What follows "Usage: patchtool NAME "; "\n" goes on in line below it.
    std::string synopsis;
    // The paragraphs between the synopsis and the options.
    std::string description;
    std::vector<CommandOption> options;  // --help is added to every command
    // Paragraphs after the options; empty for none.
    std::string notes;
    int (*run)(const std::vector<std::string>& words, const Console& console) = nullptr;
};

// The --codec option of the commands that build packages, its help naming
// the codecs of the codec table.
CommandOption CodecOption();
// The codec names as a synopsis shows the choice: "lzo|bzip2|zstd".
std::string CodecSynopsis();

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
