// The one number reader of the transfer, shared by the URL's port and the
// header's "Content-Length:". Pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// Reads an integer at the start of `text` the way "%d" does: any white space,
// an optional sign, decimal digits; whatever follows the digits is ignored.
// Returns nothing when no digit comes, or when the magnitude passes `largest`
// (so an over-long number never wraps into a plausible one).
std::optional<std::int64_t> ScanDecimal(std::string_view text, std::int64_t largest);
