// Placeholder until folder clone detection lands.
#include "engine/folder_clones.h"

namespace parvolane {
void FindDirectoryDuplicates(ScanState&, ScanReporter&) {}
}  // namespace parvolane
