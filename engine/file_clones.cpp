// Placeholder until file clone grouping lands.
#include "engine/file_clones.h"

namespace parvolane {
void FindFileDuplicates(ScanState&, ScanReporter&) {}
}  // namespace parvolane
