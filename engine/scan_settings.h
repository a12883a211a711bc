#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace parvolane {

/// How files are compared; the numbers are the item indexes of the compare-mode radio group.
enum class CompareMode : int { cmName = 0, cmSize = 1, cmNameAndSize = 2, cmContent = 3 };

/// Maps a radio-group item index to a compare mode; every unknown index (none selected
/// included) reads as cmContent.
CompareMode CompareModeFromIndex(int index);

/// The scan options as the engine reads them.
struct ScanSettings {
  std::vector<std::string> Folders;
  bool FindFileClones = true;
  bool FindFolderClones = false;
  CompareMode Mode = CompareMode::cmContent;
  std::string MaskText = "*.*";
  int32_t MinSizeMB = 1;
  int32_t MaxGroups = 100;
  int32_t MinGroupSize = 2;
  bool ParallelHashing = true;
  /// Take the hashes of unchanged files from the hash cache, and store new ones there.
  bool UseHashCache = false;
  /// The cache's database; empty for the user's own (HashCache::DefaultPath).
  std::string HashCachePath;
};

/// Splits the mask text at ';', ' ', '|' and ','; honours double-quoted pieces; never returns
/// an empty list ("*.*" when nothing is left).
std::vector<std::string> ParseMasks(std::string_view maskText);

/// A byte count as megabytes (2^20 bytes) with two decimals, rounded half up, and " MB", using
/// the decimal separator of the user's locale (LC_NUMERIC); "0" for a negative count.
std::string FormatSizeMB(int64_t bytes);
/// The same with an explicit decimal separator.
std::string FormatSizeMB(int64_t bytes, std::string_view decimalSeparator);

}  // namespace parvolane
