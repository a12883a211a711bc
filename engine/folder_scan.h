#pragma once

#include <string>
#include <vector>

#include "engine/file_info.h"
#include "engine/scan_reporter.h"
#include "engine/scan_state.h"

namespace parvolane {

/// One file found by a walk, with the result of its one size query.
struct FoundFile {
  std::string Path;
  int64_t Size = -1;  // -1 when the query failed; 0 for a symbolic link
  FileId Id;          // valid when Size >= 0
  int64_t MTimeNs = 0;
};

/// One walk of the folder tree below `folder` for several masks at once: for each mask, the
/// files it matches in walk order, exactly as WalkFolder would list them for that mask alone.
/// A mask that is invalid or holds a malformed set gets an empty list; the others are
/// unaffected. Errors: std::invalid_argument for an invalid folder path.
std::vector<std::vector<FoundFile>> WalkFolderWithMasks(const std::string& folder,
                                                        const std::vector<std::string>& masks);

/// Walks the folder tree below `folder` depth-first in pre-order and returns the files whose
/// names match `mask`, each with one size query. Links to folders are followed; a folder that
/// was already walked (a link cycle, a second link) is not walked again. Folders that cannot be
/// listed contribute nothing.
/// Errors: std::invalid_argument for an invalid folder path or mask, a malformed set included.
std::vector<FoundFile> WalkFolder(const std::string& folder, const std::string& mask);

/// The first stage of a scan: collects the files of every folder and mask into FFiles.
void CollectFiles(ScanState& state, ScanReporter& reporter);

}  // namespace parvolane
