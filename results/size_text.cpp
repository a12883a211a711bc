#include "results/size_text.h"

#include <clocale>

namespace parvolane {

std::string FormatSizeMB(int64_t bytes) {
  const lconv* conv = std::localeconv();
  const char* sep = (conv != nullptr && conv->decimal_point != nullptr && *conv->decimal_point)
                        ? conv->decimal_point
                        : ".";
  return FormatSizeMB(bytes, sep);
}

std::string FormatSizeMB(int64_t bytes, std::string_view decimalSeparator) {
  if (bytes < 0) return "0";
  // Hundredths of a megabyte, rounded half up on the exact value bytes / 2^20. Whole megabytes
  // and the remainder are taken apart first so that nothing overflows up to INT64_MAX.
  constexpr int64_t kMegabyte = int64_t{1} << 20;
  const int64_t remainder = bytes % kMegabyte;
  const int64_t hundredths =
      bytes / kMegabyte * 100 + (remainder * 100 + kMegabyte / 2) / kMegabyte;
  const int64_t fraction = hundredths % 100;
  std::string out = std::to_string(hundredths / 100);
  out += decimalSeparator;
  out += static_cast<char>('0' + fraction / 10);
  out += static_cast<char>('0' + fraction % 10);
  out += " MB";
  return out;
}

}  // namespace parvolane
