#include "support/recording_reporter.h"

namespace parvolane::testing {

std::vector<std::string> RecordingReporter::StatusesStartingWith(const std::string& prefix) const {
  std::vector<std::string> out;
  for (const std::string& s : Statuses) {
    if (s.rfind(prefix, 0) == 0) out.push_back(s);
  }
  return out;
}

std::vector<std::string> CollectedPaths(const ScanState& state) {
  std::vector<std::string> out;
  for (const auto& record : state.FFiles)
    out.push_back(record->FullPath);
  return out;
}

}  // namespace parvolane::testing
