#pragma once

#include "engine/scan_reporter.h"
#include "engine/scan_state.h"

namespace parvolane {

/// How the last scan ended.
enum class ScanOutcome { NotStarted, NoFolders, Done, Stopped, Failed };

/// Runs a scan from its start to its outcome: the folder scan, the content hashing, the file
/// clone grouping and the folder clone detection, one after another on the calling thread.
class ScanDriver final {
 public:
  ScanDriver(ScanState& state, ScanReporter& reporter) : FState(state), FReporter(reporter) {}
  ScanDriver(const ScanDriver&) = delete;
  ScanDriver& operator=(const ScanDriver&) = delete;

  /// Runs one scan. A call made while a scan runs (from inside PumpEvents) is ignored.
  void btnScanClick();
  /// The Stop command: sets the stop flag and reports "Stopping...".
  void RequestStop();
  /// Empties everything that a scan produces.
  void ClearResults();

  bool IsScanning() const { return FScanning; }
  ScanOutcome LastOutcome() const { return FOutcome; }
  /// The message of the error that ended the last scan, if it failed.
  const std::string& LastError() const { return FLastError; }

 private:
  ScanOutcome RunStages();

  ScanState& FState;
  ScanReporter& FReporter;
  bool FScanning = false;
  ScanOutcome FOutcome = ScanOutcome::NotStarted;
  std::string FLastError;
};

}  // namespace parvolane
