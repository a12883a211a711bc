#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/scan_reporter.h"
#include "engine/scan_state.h"

namespace parvolane {

/// Finds folders whose trees hold the same names and sizes and lists them in lvDirs.
///
/// Every folder is collected once, whatever path or scan folder reaches it again, so a folder
/// is never offered as a clone of itself. Links below the scan folders are entries of size 0,
/// never followed; a scan folder that is itself a link is followed. The user's trash is left
/// out. A folder whose tree could not be read whole is never offered, nor any folder holding
/// it; they are counted in state.Summary.FoldersLeftOut, what was skipped in Summary.Skipped,
/// scan folders that cannot be read in Summary.FolderErrors, groups cut by "Max groups" in
/// Summary.DirGroupsCut. With Settings.CollapseNestedDirGroups a group whose members all lie
/// inside the members of one other group is left out, before "Max groups" counts the groups.
/// Listed rows carry what the scan saw of their folder. Time and memory grow linearly with the
/// folders and entries at any depth (only listed folders get their whole path built), at most
/// a bounded number of folders is open at once, and a stop is seen within a few thousand steps.
/// Errors: what it cannot read is absorbed as above; other errors (memory) leave it after
/// everything it made is released and lvDirs' update brackets are closed.
void FindDirectoryDuplicates(ScanState& state, ScanReporter& reporter);

}  // namespace parvolane
