#include "command.h"

#include <algorithm>
#include <utility>

namespace {

// The widest line of a help text.
constexpr std::size_t kWidth = 80;

const CommandOption kHelpOption{{"help", 'h', false}, "", "show this help"};

// How an option is named in the list: "-o, --output FILE", "--json".
std::string OptionLabel(const CommandOption& option) {
    std::string label = "  ";
    if (option.spec.shortName != 0)
        label += std::string("-") + option.spec.shortName + ", ";
    label += "--" + option.spec.longName;
    if (!option.value.empty())
        label += " " + option.value;
    return label;
}

// `text` in lines of at most `width` characters (a longer word stands
// alone), every line after the first indented to `column`.
std::string Wrapped(const std::string& text, std::size_t column, std::size_t width) {
    std::string out;
    std::size_t lineLength = 0;
    std::size_t start = 0;
    while ((start = text.find_first_not_of(" \n", start)) != std::string::npos) {
        const std::size_t end = std::min(text.find_first_of(" \n", start), text.size());
        const std::string word = text.substr(start, end - start);
        if (lineLength != 0 && lineLength + 1 + word.size() > width) {
            out += "\n" + std::string(column, ' ');
            lineLength = 0;
        }
        out += (lineLength != 0 ? " " : "") + word;
        lineLength += (lineLength != 0 ? 1 : 0) + word.size();
        start = end;
    }
    return out;
}

// The options, the help last, their texts in one column two blanks after
// the longest label.
std::string OptionList(const Command& command) {
    std::vector<CommandOption> options = command.options;
    options.push_back(kHelpOption);
    std::size_t column = 0;
    for (const CommandOption& option : options)
        column = std::max(column, OptionLabel(option).size() + 2);
    std::string list;
    for (const CommandOption& option : options) {
        const std::string label = OptionLabel(option);
        list += label + std::string(column - label.size(), ' ') +
                Wrapped(option.help, column, kWidth - column) + "\n";
    }
    return list;
}

// "Usage: patchtool NAME" with the operands and then the options, each
// optional one in brackets, the lines going on below the first word.
std::string Synopsis(const Command& command) {
    std::vector<std::string> words;
    for (const Operand& operand : command.operands)
        words.push_back(operand.name);
    for (const CommandOption& option : command.options) {
        const std::string word =
            "--" + option.spec.longName + (option.value.empty() ? "" : " " + option.value);
        words.push_back(option.presence == Presence::kRequired ? word : "[" + word + "]");
    }
    const std::string start = "Usage: patchtool " + command.name;
    std::string synopsis = start;
    std::size_t lineStart = 0;
    for (const std::string& word : words) {
        if (synopsis.size() - lineStart + 1 + word.size() > kWidth) {
            lineStart = synopsis.size() + 1;
            synopsis += "\n" + std::string(start.size(), ' ');
        }
        synopsis += " " + word;
    }
    return synopsis;
}

}  // namespace

CommandOption CodecOption() {
    // What each codec is good for, in the order the help names them.
    static const std::pair<PackageCodec, const char*> kUses[] = {
        {PackageCodec::kBzip2, "bzip2 (the default, smaller)"},
        {PackageCodec::kLzo1x, "lzo (faster to unpack)"},
        {PackageCodec::kZstd,
         "zstd (smallest, and allows delta entries; only updaters that know zstd can apply it)"}};
    std::vector<const char*> uses;
    for (const auto& [codec, use] : kUses) {
        if (CodecOf(codec).inThisBuild)
            uses.push_back(use);
    }
    std::string help = "payload compression:";
    for (std::size_t i = 0; i < uses.size(); ++i) {
        const char* joint = i == 0 ? " " : i + 1 == uses.size() ? " or " : ", ";
        help += joint + std::string(uses[i]);
    }
    std::string names;
    for (const char* name : CodecNamesInThisBuild())
        names += (names.empty() ? "" : "|") + std::string(name);
    return {{"codec", 0, true}, names, help};
}

std::string UsageOf(const Command& command) {
    std::string usage =
        Synopsis(command) + "\n\n" + command.description + "\n" + OptionList(command);
    if (!command.notes.empty())
        usage += "\n" + command.notes;
    return usage;
}

std::vector<OptionSpec> OptionSpecsOf(const Command& command) {
    std::vector<OptionSpec> specs;
    for (const CommandOption& option : command.options)
        specs.push_back(option.spec);
    specs.push_back(kHelpOption.spec);
    return specs;
}
