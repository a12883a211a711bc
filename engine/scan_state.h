#pragma once

#include <atomic>

#include "engine/file_info.h"
#include "engine/scan_issues.h"
#include "results/result_list.h"

namespace parvolane {

/// What one scan produces and the flag that stops it; owned by the window (or the command-line
/// tool) for its whole life. The stages work on it and report through a ScanReporter.
struct ScanState {
  ScanState() : lvFiles(FileListColumns()), lvDirs(DirListColumns()) {}
  ScanState(const ScanState&) = delete;
  ScanState& operator=(const ScanState&) = delete;

  /// Written by the user-interface thread only (false -> true during a scan), read by workers.
  bool IsStopRequested() const { return FStopRequested.load(std::memory_order_relaxed); }

  TFileList FFiles;
  TFileMap FFileMap;
  /// Whether the file clone stage lets the records go as it lists them (each gives its path
  /// and its memory to its row), leaving FFiles empty: a front end needs only the rows, and a
  /// million files then cost one record's memory each, not two. Off for callers that look at
  /// the records after a scan.
  bool ReleaseRecordsOnceListed = false;
  std::atomic<bool> FStopRequested{false};
  ResultList lvFiles;
  ResultList lvDirs;
  /// What the last scan skipped or left out; emptied when a scan starts.
  ScanSummary Summary;
};

}  // namespace parvolane
