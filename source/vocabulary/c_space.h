// The one white-space test of the updater's text readers.
#pragma once

// The white space of the C library in the "C" locale: what "%d" skips, what
// separates the tokens of a patch list and what ends a URL's path.
constexpr bool IsCSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
