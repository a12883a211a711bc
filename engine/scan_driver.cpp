#include "engine/scan_driver.h"

#include <exception>

#include "engine/file_clones.h"
#include "engine/file_mask.h"
#include "engine/folder_clones.h"
#include "engine/folder_scan.h"
#include "engine/hashing.h"

namespace parvolane {

std::optional<std::string> ValidateMasks(std::string_view maskText) {
  for (const std::string& mask : ParseMasks(maskText)) {
    if (std::optional<std::string> problem = FileMask::Problem(mask)) {
      return "Invalid file mask '" + mask + "': " + *problem + ".";
    }
  }
  return std::nullopt;
}

void ScanDriver::btnScanClick(const std::function<void()>& starting) {
  if (FScanning) return;  // two scans must never run at once on the same state
  const ScanSettings settings = FReporter.CurrentSettings();
  if (settings.Folders.empty()) {
    FOutcome = ScanOutcome::NoFolders;
    return;
  }
  // A mask that matches nothing by mistake would end in "Done." and an empty list.
  if (const std::optional<std::string> problem = ValidateMasks(settings.MaskText)) {
    FLastError = *problem;
    FOutcome = ScanOutcome::InvalidMask;
    return;
  }

  FScanning = true;
  FLastError.clear();
  FState.FStopRequested.store(false, std::memory_order_relaxed);
  try {
    if (starting) starting();
    FOutcome = RunStages();
  } catch (const std::exception& e) {
    FOutcome = ScanOutcome::Failed;
    FLastError = e.what();
  } catch (...) {
    FOutcome = ScanOutcome::Failed;
    FLastError = "unknown error";
  }
  FReporter.SetProgressMarquee(false);
  FReporter.SetProgressPosition(0);
  FScanning = false;
}

std::optional<std::string> ScanDriver::OutcomeMessage() const {
  switch (FOutcome) {
    case ScanOutcome::NoFolders:
      return "Please add at least one folder.";
    case ScanOutcome::InvalidMask:
      return FLastError;
    case ScanOutcome::Failed:
      return "Error: " + FLastError;
    default:
      return std::nullopt;
  }
}

ScanOutcome ScanDriver::RunStages() {
  ClearResults();

  CollectFiles(FState, FReporter);
  // The path index serves the collection only: a front end that lets the records go does not
  // keep a table of a million slots through the rest of the scan.
  if (FState.ReleaseRecordsOnceListed) FState.FFileMap.clear();
  if (FState.IsStopRequested()) return ScanOutcome::Stopped;

  const ScanSettings settings = FReporter.CurrentSettings();
  if (settings.Mode == CompareMode::cmContent &&
      (settings.FindFileClones || settings.FindFolderClones)) {
    ComputeAllHashes(FState, FReporter);
  }
  if (FState.IsStopRequested()) return ScanOutcome::Stopped;

  if (FReporter.CurrentSettings().FindFileClones) FindFileDuplicates(FState, FReporter);
  if (FState.IsStopRequested()) {
    FReporter.ReportStatus("Cancelled");
    return ScanOutcome::Stopped;
  }

  if (FReporter.CurrentSettings().FindFolderClones) FindDirectoryDuplicates(FState, FReporter);
  if (FState.IsStopRequested()) {
    FReporter.ReportStatus("Cancelled");
    return ScanOutcome::Stopped;
  }
  FReporter.ReportStatus("  Done.");
  return ScanOutcome::Done;
}

void ScanDriver::RequestStop() {
  FState.FStopRequested.store(true, std::memory_order_relaxed);
  FReporter.ReportStatus("Stopping...");
}

void ScanDriver::ClearResults() {
  FState.lvFiles.ClearRows();
  FState.lvDirs.ClearRows();
  ClearListGroups(FState.lvFiles);
  ClearListGroups(FState.lvDirs);
  FState.FFileMap.clear();
  FState.FFiles.clear();
  FState.Summary.Clear();
  FReporter.SetProgressPosition(0);
  FReporter.ReportStatus("");
}

}  // namespace parvolane
