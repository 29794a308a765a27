// Progress of long work, one self-rewriting line on standard error.
//
// Only drawn when standard error is a terminal: in a log file or a pipe the
// carriage returns would only be noise.
#pragma once

#include <cstddef>
#include <ostream>
#include <string>
#include <string_view>

class ProgressLine {
  public:
    // Draws on `err` only when `enabled`.
    ProgressLine(std::ostream& err, bool enabled) : err_(err), enabled_(enabled) {}
    ~ProgressLine() { Clear(); }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // Shows "what: N%"; redraws only when the text changes (a whole percent
    // or a new stage), so a tree of many small files does not flood the
    // terminal.
    void Show(std::string_view what, std::size_t done, std::size_t total);
    // Wipes the line, so that the next message starts on a clean one.
    void Clear();

    // True when standard error of this process is a terminal.
    static bool StandardErrorIsTerminal();

  private:
    std::ostream& err_;
    bool enabled_;
    std::string shown_;
};
