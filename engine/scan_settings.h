#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "results/size_text.h"

namespace parvolane {

/// How files are compared. A new mode gets a row in kCompareModes and a grouping key in the
/// file clone grouping; every front end reads the table.
enum class CompareMode : int { cmName, cmSize, cmNameAndSize, cmContent };

/// One compare mode and what the front ends call it.
struct CompareModeInfo {
  CompareMode Mode;
  /// The value of parvolane-scan's --compare.
  std::string_view CliName;
  /// The window's radio-button text; "&&" shows a single ampersand.
  std::string_view Caption;
  /// The number a settings file holds for the mode; never reused for another mode.
  int StoredNumber;
};

/// Every compare mode, in the order the front ends offer them.
inline constexpr std::array<CompareModeInfo, 4> kCompareModes{{
    {CompareMode::cmName, "name", "Name", 0},
    {CompareMode::cmSize, "size", "Size", 1},
    {CompareMode::cmNameAndSize, "name-size", "Name && Size", 2},
    {CompareMode::cmContent, "content", "Content (SHA-1)", 3},
}};

/// The mode a scan uses when nothing else is chosen.
inline constexpr CompareMode kDefaultCompareMode = CompareMode::cmContent;

/// The table's row of a mode.
const CompareModeInfo& InfoOf(CompareMode mode);
/// The mode with this CLI name; nothing for any other text.
std::optional<CompareMode> CompareModeFromCliName(std::string_view name);
/// The mode stored under this number; nothing for a number no mode has.
std::optional<CompareMode> CompareModeFromStoredNumber(int number);
/// Every CLI name in table order, joined by `separator`.
std::string CompareModeCliNames(std::string_view separator);

/// The scan options as the engine reads them.
struct ScanSettings {
  std::vector<std::string> Folders;
  bool FindFileClones = true;
  bool FindFolderClones = false;
  CompareMode Mode = kDefaultCompareMode;
  std::string MaskText = "*.*";
  int32_t MinSizeMB = 1;
  int32_t MaxGroups = 100;
  int32_t MinGroupSize = 2;
  bool ParallelHashing = true;
  /// Leave out of the folder list every group whose members all lie inside the members of
  /// one other group.
  bool CollapseNestedDirGroups = false;
  /// Take the hashes of unchanged files from the hash cache, and store new ones there.
  bool UseHashCache = false;
  /// The cache's database; empty for the user's own (HashCache::DefaultPath).
  std::string HashCachePath;
};

/// Splits the mask text at ';', ' ', '|' and ','; honours double-quoted pieces; never returns
/// an empty list ("*.*" when nothing is left).
std::vector<std::string> ParseMasks(std::string_view maskText);

}  // namespace parvolane
