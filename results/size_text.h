#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace parvolane {

/// A byte count as megabytes (2^20 bytes) with two decimals, rounded half up, and " MB", using
/// the decimal separator of the user's locale (LC_NUMERIC); "0" for a negative count.
std::string FormatSizeMB(int64_t bytes);
/// The same with an explicit decimal separator.
std::string FormatSizeMB(int64_t bytes, std::string_view decimalSeparator);

}  // namespace parvolane
