#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/scan_issues.h"
#include "results/result_list.h"

namespace parvolane {

/// What a finished scan found and passed over, counted for the summary that both the window
/// and parvolane-scan show.
struct ScanFacts {
  bool FileClones = false;  // file clones were looked for
  bool FolderClones = false;
  size_t FileGroups = 0;
  size_t Files = 0;
  /// Bytes that every copy but the first of each group takes; a file reached through several
  /// hard links counts once.
  int64_t ExtraBytes = 0;
  size_t FileGroupsCut = 0;
  size_t DirGroups = 0;
  size_t Dirs = 0;
  size_t DirGroupsCut = 0;
  size_t FoldersLeftOut = 0;
  size_t FolderErrors = 0;
  size_t Skipped = 0;
  std::array<size_t, kSkipKindCount> SkippedByKind{};
  /// Why the hash cache was not used, when it was asked for and could not be.
  std::string CacheProblem;
  /// Files to hash on file systems that the cache leaves alone.
  size_t CacheLeftOut = 0;
};

/// Counts the facts of the lists and the scan's summary; pure.
ScanFacts SummarizeScan(const ResultList& files, const ResultList& dirs, const ScanSummary& summary,
                        bool fileClones, bool folderClones);

/// The facts on one line: "12 groups, 31 files, 1.2 GB in extra copies; 3 groups not listed
/// (Max groups); 2 entries skipped". Sizes use the given decimal separator.
std::string SummaryText(const ScanFacts& facts, std::string_view decimalSeparator = ".");

/// The summary as parvolane-scan prints it: "Summary: " and the facts, the skipped entries by
/// kind, then one line per skipped entry that the log kept.
std::vector<std::string> SummaryLines(const ScanFacts& facts, const ScanSummary& summary,
                                      std::string_view decimalSeparator = ".");

/// One line per skipped entry the log kept ("Skipped (unreadable folder): /a/b: Permission
/// denied"), and a last one counting those it did not keep; empty when nothing was skipped.
std::vector<std::string> SkippedEntryLines(const ScanSummary& summary);

/// What "Show skipped" lists: the scan folders that could not be scanned ("Not scanned: "
/// and the message), then the skipped entries, one a line.
std::string SkippedListText(const ScanSummary& summary);

/// A byte count for people: "0 B", "980 B", "1.5 KB", "412 MB", "2.1 GB" (1 KB = 1024 B).
std::string FormatByteSize(int64_t bytes, std::string_view decimalSeparator = ".");

/// The decimal separator of the user's locale (LC_NUMERIC).
std::string LocaleDecimalSeparator();

/// Turns the hashing stage's byte counts into "412 MB of 2.1 GB · 380 MB/s · 4 s left", the
/// throughput averaged since the first report of the run.
class ByteProgressMeter final {
 public:
  using Clock = std::chrono::steady_clock;

  /// Forgets the run: the next report starts a new one.
  void Reset() { FStarted = false; }
  std::string Text(int64_t done, int64_t total, Clock::time_point now,
                   std::string_view separator = " \u00B7 ", std::string_view decimal = ".");

 private:
  bool FStarted = false;
  Clock::time_point FStart{};
  int64_t FStartDone = 0;
  int64_t FLastDone = 0;
};

/// A text progress bar for a terminal: "[########------------] " followed by the text.
std::string ProgressBarLine(int64_t done, int64_t total, std::string_view text, int barWidth = 24);

}  // namespace parvolane
