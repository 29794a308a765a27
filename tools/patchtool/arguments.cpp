#include "arguments.h"

#include <algorithm>
#include <charconv>
#include <vector>

namespace {

const OptionSpec* FindLong(const std::vector<OptionSpec>& specs, std::string_view name) {
    const auto it = std::find_if(specs.begin(), specs.end(),
                                 [&](const OptionSpec& spec) { return spec.longName == name; });
    return it == specs.end() ? nullptr : &*it;
}

const OptionSpec* FindShort(const std::vector<OptionSpec>& specs, char name) {
    const auto it = std::find_if(specs.begin(), specs.end(),
                                 [&](const OptionSpec& spec) { return spec.shortName == name; });
    return it == specs.end() ? nullptr : &*it;
}

// One decimal number of at most `limit`, digits only.
std::optional<unsigned> ParseField(std::string_view text, unsigned limit) {
    unsigned value = 0;
    const auto [end, code] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (code != std::errc() || end != text.data() + text.size() || value > limit) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

bool ParseArguments(const std::vector<std::string>& words, const std::vector<OptionSpec>& specs,
                    ParsedArguments* parsed, std::string* error) {
    *parsed = ParsedArguments{};
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word == "--") {
            parsed->operands.insert(parsed->operands.end(), words.begin() + i + 1, words.end());
            break;
        }
        if (word.size() < 2 || word[0] != '-') {
            parsed->operands.push_back(word);
            continue;
        }
        const bool isLong = word[1] == '-';
        const std::size_t equals = isLong ? word.find('=') : std::string::npos;
        const OptionSpec* spec =
            isLong ? FindLong(specs, word.substr(2, equals - 2)) : FindShort(specs, word[1]);
        // A short option may carry its value attached ("-ofile"), as getopt allows.
        const bool attached = !isLong && word.size() > 2;
        if (spec == nullptr || (attached && !spec->takesValue)) {
            *error = "unknown option '" + word + "'";
            return false;
        }
        if (parsed->Has(spec->longName)) {
            *error = "option --" + spec->longName + " given twice";
            return false;
        }
        std::string value;
        if (attached) {
            value = word.substr(2);
        } else if (equals != std::string::npos) {
            if (!spec->takesValue) {
                *error = "option --" + spec->longName + " takes no value";
                return false;
            }
            value = word.substr(equals + 1);
        } else if (spec->takesValue) {
            if (i + 1 >= words.size()) {
                *error = "option --" + spec->longName + " needs a value";
                return false;
            }
            value = words[++i];
        }
        parsed->values[spec->longName] = value;
    }
    return true;
}

std::optional<PackedVersion> ParseVersionText(std::string_view text) {
    const std::size_t firstDot = text.find('.');
    const std::size_t secondDot =
        firstDot == std::string_view::npos ? firstDot : text.find('.', firstDot + 1);
    if (secondDot == std::string_view::npos)
        return std::nullopt;
    const auto major = ParseField(text.substr(0, firstDot), 0xFF);
    const auto minor = ParseField(text.substr(firstDot + 1, secondDot - firstDot - 1), 0xFF);
    const auto build = ParseField(text.substr(secondDot + 1), 0xFFFF);
    if (!major || !minor || !build)
        return std::nullopt;
    return PackVersion(static_cast<int>(*major), static_cast<int>(*minor),
                       static_cast<int>(*build));
}

std::optional<PackageCodec> ParseCodecName(std::string_view text) {
    const PayloadCodec* codec = CodecNamed(text);
    if (codec == nullptr || !codec->inThisBuild)
        return std::nullopt;
    return codec->codec;
}

const char* CodecName(PackageCodec codec) {
    return CodecOf(codec).name;
}

std::vector<const char*> CodecNamesInThisBuild() {
    std::vector<const char*> names;
    for (const PayloadCodec& codec : PayloadCodecs()) {
        if (codec.inThisBuild)
            names.push_back(codec.name);
    }
    return names;
}

std::string CodecNameChoices() {
    const std::vector<const char*> names = CodecNamesInThisBuild();
    std::string choices = "neither ";
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i != 0)
            choices += i + 1 == names.size() ? " nor " : ", ";
        choices += names[i];
    }
    return choices;
}
