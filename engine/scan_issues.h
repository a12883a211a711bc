#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace parvolane {

/// Why a single entry was passed over. A scan goes on after each of these; they are counted so
/// that nothing is left out silently.
enum class SkipKind : size_t {
  UnreadableFolder,  // a folder that could not be opened or listed
  UnreadableFile,    // a file that could not be queried, opened or read
  Vanished,          // gone (or replaced) between being listed and being used
  TooLong,           // a path or name too long for a system call
};
inline constexpr size_t kSkipKindCount = 4;

/// One skipped entry as shown to the user: its kind, its path and the system's message.
struct SkippedEntry {
  SkipKind Kind = SkipKind::UnreadableFolder;
  std::string Path;
  std::string Message;
};

/// Counts skipped entries by kind and keeps the first few of them.
/// Threading: Add may be called from any thread (hashing workers); the rest from the thread
/// that runs the scan, when no worker runs.
class SkipLog final {
 public:
  /// Entries kept with their path; the counts go on beyond.
  static constexpr size_t kKept = 200;

  /// `error` is an errno value (0 when there is no system error to show).
  void Add(SkipKind kind, std::string_view path, int error);
  void Clear();
  size_t Count(SkipKind kind) const;
  size_t Total() const;
  std::vector<SkippedEntry> Kept() const;

 private:
  mutable std::mutex FMutex;
  std::array<size_t, kSkipKindCount> FCounts{};
  std::vector<SkippedEntry> FKept;
};

/// The short name of a kind ("unreadable folder", ...).
std::string_view SkipKindName(SkipKind kind);

/// What a scan tells besides its lists: what it skipped, what it left out and why.
struct ScanSummary {
  SkipLog Skipped;
  /// Scan folders that could not be scanned at all, each as a message naming it.
  std::vector<std::string> FolderErrors;
  /// Groups that "Max groups" left unlisted.
  size_t FileGroupsCut = 0;
  size_t DirGroupsCut = 0;
  /// Folders never offered as folder clones because their tree could not be read whole.
  size_t FoldersLeftOut = 0;
  /// Why the hash cache was not used (empty when it was, or was not asked for).
  std::string CacheProblem;
  /// Files whose hash the cache gave, without reading them.
  size_t CacheHits = 0;
  /// Files to hash that the cache left alone: their file system has no lasting identity.
  size_t CacheLeftOut = 0;

  void Clear() {
    Skipped.Clear();
    FolderErrors.clear();
    CacheProblem.clear();
    CacheHits = CacheLeftOut = 0;
    FileGroupsCut = DirGroupsCut = FoldersLeftOut = 0;
  }
};

}  // namespace parvolane
