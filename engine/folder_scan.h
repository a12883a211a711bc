#pragma once

#include <functional>
#include <string>
#include <vector>

#include "engine/file_info.h"
#include "engine/scan_issues.h"
#include "engine/scan_reporter.h"
#include "engine/scan_state.h"

namespace parvolane {

/// One file found by a walk, with the result of its one size query.
struct FoundFile {
  std::string Path;
  int64_t Size = -1;  // -1 when the query failed; 0 for a symbolic link
  FileId Id;          // valid when Size >= 0
  int64_t MTimeNs = 0;
  int64_t CTimeNs = 0;
};

/// What may end a walk early, and where it counts what it skipped.
struct WalkControl {
  /// Asked before every entry; may be empty. Threading: called on the walking thread.
  std::function<bool()> StopRequested;
  /// Folders that could not be listed and files whose size query failed; may be null.
  SkipLog* Skipped = nullptr;
};

/// One walk of the folder tree below `folder` for several masks at once: for each mask, the
/// files it matches in walk order, exactly as WalkFolder would list them for that mask alone.
/// A mask that is invalid or holds a malformed set gets an empty list; the others are
/// unaffected. A stop ends the walk with the files found so far. The user's trash is left out.
/// Errors: std::invalid_argument for an empty folder path; std::system_error ("cannot scan
/// '<folder>': <reason>") when the folder cannot be opened or listed.
std::vector<std::vector<FoundFile>> WalkFolderWithMasks(const std::string& folder,
                                                        const std::vector<std::string>& masks,
                                                        const WalkControl& control = {});

/// Walks the folder tree below `folder` depth-first in pre-order and returns the files whose
/// names match `mask`, each with one size query. Links to folders are followed; a folder that
/// was already walked (a link cycle, a second link) is not walked again. Folders that cannot be
/// listed contribute nothing.
/// Errors: std::invalid_argument for an empty folder path or an invalid mask, a malformed set
/// included; std::system_error when the folder cannot be opened or listed.
std::vector<FoundFile> WalkFolder(const std::string& folder, const std::string& mask);

/// The first stage of a scan: collects the files of every folder and mask into FFiles.
/// Skipped entries go to state.Summary.Skipped, scan folders that cannot be read at all to
/// state.Summary.FolderErrors; the other folders are scanned all the same.
void CollectFiles(ScanState& state, ScanReporter& reporter);

}  // namespace parvolane
