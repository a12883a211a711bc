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
  std::atomic<bool> FStopRequested{false};
  ResultList lvFiles;
  ResultList lvDirs;
  /// What the last scan skipped or left out; emptied when a scan starts.
  ScanSummary Summary;
};

}  // namespace parvolane
