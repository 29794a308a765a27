#include "progress.h"

#include <algorithm>

#include "engine/publisher_core.h"

void ProgressLine::Show(std::string_view what, std::size_t done, std::size_t total) {
    if (!enabled_)
        return;
    const std::size_t percent = total == 0 ? 100 : done * 100 / total;
    std::string text = std::string(what) + ": " + std::to_string(percent) + "%";
    if (text == shown_)
        return;
    // Pad with blanks so a shorter line fully covers a longer one.
    const std::size_t width = std::max(text.size(), shown_.size());
    shown_ = text;
    text.resize(width, ' ');
    err_ << '\r' << text << std::flush;
}

void ProgressLine::Clear() {
    if (!enabled_ || shown_.empty())
        return;
    err_ << '\r' << std::string(shown_.size(), ' ') << '\r' << std::flush;
    shown_.clear();
}

bool ProgressLine::StandardErrorIsTerminal() {
    return platform::StandardErrorIsTerminal();
}
