#include "command.h"

#include <algorithm>

namespace {

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

// `text` with every line after the first indented to `column`.
std::string Indented(const std::string& text, std::size_t column) {
    std::string out;
    for (const char c : text) {
        out += c;
        if (c == '\n')
            out.append(column, ' ');
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
        list +=
            label + std::string(column - label.size(), ' ') + Indented(option.help, column) + "\n";
    }
    return list;
}

}  // namespace

CommandOption CodecOption() {
    return {{"codec", 0, true},
            "CODEC",
            "payload compression: bzip2 (the default, smaller), lzo\n"
            "(faster to unpack) or zstd (smallest, and allows delta\n"
            "entries; only updaters that know zstd can apply it)"};
}

std::string CodecSynopsis() {
    std::string names;
    for (const PayloadCodec& codec : PayloadCodecs()) {
        if (codec.inThisBuild)
            names += (names.empty() ? "" : "|") + std::string(codec.name);
    }
    return names;
}

std::string UsageOf(const Command& command) {
    const std::string start = "Usage: patchtool " + command.name + " ";
    std::string usage = start + Indented(command.synopsis, start.size()) + "\n\n" +
                        command.description + "\n" + OptionList(command);
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
