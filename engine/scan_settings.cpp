#include "engine/scan_settings.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>

#include "engine/text_case.h"

namespace parvolane {

CompareMode CompareModeFromIndex(int index) {
  switch (index) {
    case 0:
      return CompareMode::cmName;
    case 1:
      return CompareMode::cmSize;
    case 2:
      return CompareMode::cmNameAndSize;
    default:
      return CompareMode::cmContent;
  }
}

namespace {

// Splits at ',' with double-quoted pieces: a quoted piece runs to the next quote that is not
// doubled, and whatever follows its closing quote up to the next ',' is a piece of its own.
std::vector<std::string> SplitQuoted(std::string_view s) {
  std::vector<std::string> pieces;
  size_t i = 0;
  const size_t n = s.size();
  while (true) {
    if (i < n && s[i] == '"') {
      std::string piece;
      for (++i; i < n; ++i) {
        if (s[i] != '"') {
          piece += s[i];
        } else if (i + 1 < n && s[i + 1] == '"') {
          piece += '"';
          ++i;
        } else {
          ++i;
          break;
        }
      }
      pieces.push_back(std::move(piece));
      if (i < n && s[i] != ',') {
        const size_t comma = std::min(s.find(',', i), n);
        pieces.emplace_back(s.substr(i, comma - i));
        i = comma;
      }
    } else {
      const size_t comma = std::min(s.find(',', i), n);
      pieces.emplace_back(s.substr(i, comma - i));
      i = comma;
    }
    if (i >= n) break;
    ++i;  // the comma
    if (i == n) break;
  }
  return pieces;
}

}  // namespace

std::vector<std::string> ParseMasks(std::string_view maskText) {
  std::string text(maskText);
  for (char& c : text) {
    if (c == ';' || c == ' ' || c == '|') c = ',';
  }
  std::vector<std::string> masks;
  for (const std::string& piece : SplitQuoted(text)) {
    const std::string_view trimmed = TrimBlanksAndControls(piece);
    if (!trimmed.empty()) masks.emplace_back(trimmed);
  }
  if (masks.empty()) masks.emplace_back("*.*");
  return masks;
}

std::string FormatSizeMB(int64_t bytes) {
  const lconv* conv = std::localeconv();
  const char* sep = (conv != nullptr && conv->decimal_point != nullptr && *conv->decimal_point)
                        ? conv->decimal_point
                        : ".";
  return FormatSizeMB(bytes, sep);
}

std::string FormatSizeMB(int64_t bytes, std::string_view decimalSeparator) {
  if (bytes < 0) return "0";
  const double megabytes = static_cast<double>(bytes) / 1048576.0;
  // Round by the decimal expansion to 18 significant digits, half away from zero.
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.17e", megabytes);
  std::string digits;
  const char* p = buf;
  for (; *p != 'e'; ++p) {
    if (*p >= '0' && *p <= '9') digits += *p;
  }
  const int exponent = std::atoi(p + 1);
  std::string intPart;
  std::string fracPart;
  if (exponent >= 0) {
    while (static_cast<int>(digits.size()) < exponent + 1)
      digits += '0';
    intPart = digits.substr(0, static_cast<size_t>(exponent) + 1);
    fracPart = digits.substr(static_cast<size_t>(exponent) + 1);
  } else {
    intPart = "0";
    fracPart = std::string(static_cast<size_t>(-exponent - 1), '0') + digits;
  }
  while (fracPart.size() < 3)
    fracPart += '0';
  std::string number = intPart + fracPart.substr(0, 2);
  if (fracPart[2] >= '5') {
    size_t i = number.size();
    while (i > 0) {
      --i;
      if (number[i] == '9') {
        number[i] = '0';
      } else {
        ++number[i];
        break;
      }
      if (i == 0) number.insert(number.begin(), '1');
    }
  }
  std::string out = number.substr(0, number.size() - 2);
  out += decimalSeparator;
  out += number.substr(number.size() - 2);
  out += " MB";
  return out;
}

}  // namespace parvolane
