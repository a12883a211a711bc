#include "engine/scan_settings.h"

#include <algorithm>
#include <string>

#include "engine/text_case.h"

namespace parvolane {

namespace {

// Settings files and scripts name a mode by its number and its CLI name: two modes sharing
// either would read as one.
constexpr bool ModesAreTellable() {
  bool hasDefault = false;
  for (size_t i = 0; i < kCompareModes.size(); ++i) {
    hasDefault = hasDefault || kCompareModes[i].Mode == kDefaultCompareMode;
    for (size_t j = i + 1; j < kCompareModes.size(); ++j) {
      const CompareModeInfo& a = kCompareModes[i];
      const CompareModeInfo& b = kCompareModes[j];
      if (a.Mode == b.Mode || a.CliName == b.CliName || a.StoredNumber == b.StoredNumber)
        return false;
    }
  }
  return hasDefault;
}
static_assert(ModesAreTellable(), "every compare mode needs a row of its own names and number");

}  // namespace

const CompareModeInfo& InfoOf(CompareMode mode) {
  for (const CompareModeInfo& info : kCompareModes) {
    if (info.Mode == mode) return info;
  }
  // Only a number cast into the enum from outside the table gets here.
  return InfoOf(kDefaultCompareMode);
}

std::optional<CompareMode> CompareModeFromCliName(std::string_view name) {
  for (const CompareModeInfo& info : kCompareModes) {
    if (info.CliName == name) return info.Mode;
  }
  return std::nullopt;
}

std::optional<CompareMode> CompareModeFromStoredNumber(int number) {
  for (const CompareModeInfo& info : kCompareModes) {
    if (info.StoredNumber == number) return info.Mode;
  }
  return std::nullopt;
}

std::string CompareModeCliNames(std::string_view separator) {
  std::string names;
  for (const CompareModeInfo& info : kCompareModes) {
    if (!names.empty()) names += separator;
    names += info.CliName;
  }
  return names;
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

}  // namespace parvolane
