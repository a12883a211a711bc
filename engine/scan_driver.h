#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "engine/scan_reporter.h"
#include "engine/scan_state.h"

namespace parvolane {

/// How the last scan ended.
enum class ScanOutcome { NotStarted, NoFolders, InvalidMask, Done, Stopped, Failed };

/// The first mask of the mask text that cannot be used, as a message naming the mask and the
/// problem ("Invalid file mask '[abc': the set has no closing bracket."); nothing when every
/// mask is fine.
std::optional<std::string> ValidateMasks(std::string_view maskText);

/// Runs a scan from its start to its outcome: the folder scan, the content hashing, the file
/// clone grouping and the folder clone detection, one after another on the calling thread.
class ScanDriver final {
 public:
  ScanDriver(ScanState& state, ScanReporter& reporter) : FState(state), FReporter(reporter) {}
  ScanDriver(const ScanDriver&) = delete;
  ScanDriver& operator=(const ScanDriver&) = delete;

  /// Runs one scan. A call made while a scan runs (from inside PumpEvents) is ignored. An empty
  /// folder list or a mask that cannot be used is refused before anything changes (see
  /// OutcomeMessage). `starting`, when given, runs once the scan is sure to start, before its
  /// first stage: a front end switches to its busy look there and back once this returns.
  void btnScanClick(const std::function<void()>& starting = {});
  /// The Stop command: sets the stop flag and reports "Stopping...".
  void RequestStop();
  /// Empties everything that a scan produces.
  void ClearResults();

  bool IsScanning() const { return FScanning; }
  ScanOutcome LastOutcome() const { return FOutcome; }
  /// The message of the error that ended the last scan, if it failed or its mask was refused.
  const std::string& LastError() const { return FLastError; }
  /// What a front end tells the user about the last outcome ("Please add at least one
  /// folder.", the mask's problem, "Error: " and the error); nothing when it ran or stopped.
  std::optional<std::string> OutcomeMessage() const;

 private:
  ScanOutcome RunStages();

  ScanState& FState;
  ScanReporter& FReporter;
  bool FScanning = false;
  ScanOutcome FOutcome = ScanOutcome::NotStarted;
  std::string FLastError;
};

}  // namespace parvolane
