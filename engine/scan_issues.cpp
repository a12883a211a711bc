#include "engine/scan_issues.h"

#include <cstring>

namespace parvolane {

void SkipLog::Add(SkipKind kind, std::string_view path, int error) {
  const std::lock_guard lock(FMutex);
  ++FCounts[static_cast<size_t>(kind)];
  if (FKept.size() < kKept) {
    FKept.push_back(
        SkippedEntry{kind, std::string(path), error != 0 ? std::strerror(error) : std::string()});
  }
}

void SkipLog::Clear() {
  const std::lock_guard lock(FMutex);
  FCounts.fill(0);
  FKept.clear();
}

size_t SkipLog::Count(SkipKind kind) const {
  const std::lock_guard lock(FMutex);
  return FCounts[static_cast<size_t>(kind)];
}

size_t SkipLog::Total() const {
  const std::lock_guard lock(FMutex);
  size_t total = 0;
  for (const size_t count : FCounts)
    total += count;
  return total;
}

std::vector<SkippedEntry> SkipLog::Kept() const {
  const std::lock_guard lock(FMutex);
  return FKept;
}

std::string_view SkipKindName(SkipKind kind) {
  switch (kind) {
    case SkipKind::UnreadableFolder:
      return "unreadable folder";
    case SkipKind::UnreadableFile:
      return "unreadable file";
    case SkipKind::Vanished:
      return "vanished";
    case SkipKind::TooLong:
      return "path too long";
  }
  return "skipped";
}

}  // namespace parvolane
