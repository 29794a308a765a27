#include "engine/patch_list.h"

#include "vocabulary/c_space.h"

namespace {

// Reads white-space separated tokens the way a C++ input stream does: a read
// at the end of the text fails and yields an empty token.
class TokenReader {
  public:
    explicit TokenReader(std::string_view text) : text_(text) {}

    bool Failed() const { return failed_; }

    std::string_view Next() {
        while (pos_ < text_.size() && IsCSpace(text_[pos_]))
            ++pos_;
        if (pos_ == text_.size()) {
            failed_ = true;
            return {};
        }
        const std::size_t start = pos_;
        while (pos_ < text_.size() && !IsCSpace(text_[pos_]))
            ++pos_;
        return text_.substr(start, pos_ - start);
    }

  private:
    std::string_view text_;
    std::size_t pos_ = 0;
    bool failed_ = false;
};

bool IsStopOption(std::string_view options) {
    return options.find("-r") != std::string_view::npos;
}

}  // namespace

PatchSelection ParsePatchList(PackedVersion installedVersion, std::string_view text) {
    PatchSelection selection;
    TokenReader tokens(text);
    while (!tokens.Failed() && !selection.rerunRequired) {
        int numbers[3];
        if (ScanVersionNumbers(tokens.Next(), numbers) != 3)
            continue;
        const std::string_view url = tokens.Next();
        const std::string_view options = tokens.Next();
        tokens.Next();  // two fields this updater does not use
        tokens.Next();
        const PackedVersion version = PackVersion(numbers[0], numbers[1], numbers[2]);
        if (version <= installedVersion)
            continue;
        if (IsStopOption(options))
            selection.rerunRequired = true;
        selection.selectedPatches.push_back(PatchEntry{version, std::string(url)});
    }
    return selection;
}
