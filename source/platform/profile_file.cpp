// Profile (INI) file reading with the rules of GetPrivateProfileStringA.
// Portable: only the file read itself touches the system, through std::ifstream.
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string_view>

#include "platform/platform.h"

namespace platform {
namespace {

std::string_view TrimBlanks(std::string_view text) {
    const auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view StripMatchingQuotes(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

// The caller's buffer holds bufferSize - 1 characters and a terminator; the
// value is a C string there, so it also ends at an embedded NUL byte.
std::string CutToBuffer(std::string_view value, std::size_t bufferSize) {
    value = value.substr(0, value.find('\0'));
    if (bufferSize == 0)
        return {};
    return std::string(value.substr(0, bufferSize - 1));
}

// Walks the text line by line; returns the next line without its CR LF or LF.
class LineReader {
  public:
    explicit LineReader(std::string_view text) : rest_(text) {}
    bool Next(std::string_view* line) {
        if (rest_.empty())
            return false;
        const std::size_t end = rest_.find('\n');
        *line = rest_.substr(0, end);
        rest_ = end == std::string_view::npos ? std::string_view{} : rest_.substr(end + 1);
        if (!line->empty() && line->back() == '\r')
            line->remove_suffix(1);
        return true;
    }

  private:
    std::string_view rest_;
};

}  // namespace

std::string ReadProfileStringFromText(const std::string& text, const std::string& section,
                                      const std::string& key, const std::string& defaultValue,
                                      std::size_t bufferSize) {
    std::string_view body = text;
    constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
    if (body.substr(0, kUtf8Bom.size()) == kUtf8Bom)
        body.remove_prefix(kUtf8Bom.size());

    enum class Where { kBefore, kInside, kAfter } where = Where::kBefore;
    LineReader lines(body);
    std::string_view line;
    while (where != Where::kAfter && lines.Next(&line)) {
        line = TrimBlanks(line);
        if (line.empty() || line.front() == ';')
            continue;
        if (line.front() == '[') {
            const std::size_t close = line.find(']');
            if (close == std::string_view::npos)
                continue;
            const bool matches = EqualsIgnoringCase(TrimBlanks(line.substr(1, close - 1)), section);
            // Only the first section of that name counts.
            if (where == Where::kInside)
                where = Where::kAfter;
            else if (matches)
                where = Where::kInside;
            continue;
        }
        if (where != Where::kInside)
            continue;
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos)
            continue;
        if (!EqualsIgnoringCase(TrimBlanks(line.substr(0, equals)), key))
            continue;
        return CutToBuffer(StripMatchingQuotes(TrimBlanks(line.substr(equals + 1))), bufferSize);
    }
    return CutToBuffer(defaultValue, bufferSize);
}

std::string ReadProfileString(const std::string& section, const std::string& key,
                              const std::string& defaultValue, std::size_t bufferSize,
                              const std::string& fileName) {
    // The name is UTF-8; a path made from a narrow string would read it in
    // Windows' ANSI code page instead.
    const std::filesystem::path path(std::u8string(fileName.begin(), fileName.end()));
    // A folder standing where the file should be reads as a missing file.
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) {
        return CutToBuffer(defaultValue, bufferSize);
    }
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return CutToBuffer(defaultValue, bufferSize);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad())
        return CutToBuffer(defaultValue, bufferSize);
    return ReadProfileStringFromText(text, section, key, defaultValue, bufferSize);
}

}  // namespace platform
