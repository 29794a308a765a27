// The words after a subcommand: options, their values and operands, and the
// values publishers type (versions, codecs).
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/publisher_core.h"

struct OptionSpec {
    std::string longName;  // without the leading "--"
    char shortName = 0;    // 0 when the option has no short form
    bool takesValue = false;
};

struct ParsedArguments {
    std::map<std::string, std::string> values;  // by long name; flags hold ""
    std::vector<std::string> operands;

    bool Has(const std::string& name) const { return values.count(name) != 0; }
    const std::string& Value(const std::string& name) const { return values.at(name); }
};

// Reads "--name value", "--name=value", "-n value", "-nvalue", flags and
// operands; "--" ends the options and a lone "-" is an operand. Returns false, with a message in
// `*error`, for an unknown option, a missing value, a value given to a flag, or an option given
// twice.
bool ParseArguments(const std::vector<std::string>& words, const std::vector<OptionSpec>& specs,
                    ParsedArguments* parsed, std::string* error);

// Reads "MAJOR.MINOR.BUILD" strictly: decimal digits only, and each number
// within its field (255, 255, 65535). The updater itself would cut an
// out-of-range number to its low bits; a publisher who types 1.256.0 means
// something else, so it is refused here instead.
std::optional<PackedVersion> ParseVersionText(std::string_view text);

// A codec of this build by its name in the codec table (payload_codec.h):
// "lzo", "bzip2", "zstd"; nothing for a codec the build leaves out.
std::optional<PackageCodec> ParseCodecName(std::string_view text);
const char* CodecName(PackageCodec codec);
// The names of the codecs this build packs with, in the codec table's order.
std::vector<const char*> CodecNamesInThisBuild();
// What a wrong --codec is not, for its error message, named from the codec
// table without the codecs the build leaves out: "neither lzo, bzip2 nor zstd".
std::string CodecNameChoices();
