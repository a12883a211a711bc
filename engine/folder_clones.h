#pragma once

#include "engine/scan_reporter.h"
#include "engine/scan_state.h"

namespace parvolane {

/// Finds folders whose trees hold the same names and sizes and lists them in lvDirs.
void FindDirectoryDuplicates(ScanState& state, ScanReporter& reporter);

}  // namespace parvolane
