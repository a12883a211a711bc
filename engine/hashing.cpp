// Placeholder until the hashing stage lands.
#include "engine/hashing.h"

namespace parvolane {
std::string HashFileSHA1(const std::string&) {
  return {};
}
void ComputeAllHashes(ScanState&, ScanReporter&) {}
}  // namespace parvolane
