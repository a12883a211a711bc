#pragma once

#include "engine/scan_reporter.h"
#include "engine/scan_state.h"

namespace parvolane {

/// Groups equal files by the compare mode's key and lists the groups in lvFiles, largest total
/// size first.
void FindFileDuplicates(ScanState& state, ScanReporter& reporter);

}  // namespace parvolane
