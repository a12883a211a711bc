#include "engine/file_info.h"

#include <sys/stat.h>

#include <functional>

#include "platform/posix/long_path.h"

namespace parvolane {

int64_t CTimeNsOf(const struct stat& st) {
  return static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
}

int64_t MTimeNsOf(const struct stat& st) {
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

int64_t QueryEntrySize(const std::string& path) {
  struct stat st {};
  if (!StatLongPath(path, st, false)) return -1;
  // A link counts as an entry of its own with no content, so that it is never collected or
  // grouped with the file it points to.
  if (S_ISLNK(st.st_mode)) return 0;
  return static_cast<int64_t>(st.st_size);
}

TFileInfo::TFileInfo(const std::string& APath) : FullPath(APath), Size(QueryEntrySize(APath)) {}

TFileInfo::TFileInfo(std::string APath, int64_t ASize) : FullPath(std::move(APath)), Size(ASize) {}

// ---- TFileMap -------------------------------------------------------------------------------

void TFileMap::reserve(size_t count) {
  if (!HasRoom(count, FSlots.size())) Rehash(CapacityFor(count));
}

// The slot holding `path`, or the empty slot where it would go.
size_t TFileMap::SlotOf(std::string_view path) const {
  const size_t capacity = FSlots.size();
  size_t i = HomeSlot(std::hash<std::string_view>()(path), capacity);
  while (FSlots[i] != nullptr && FSlots[i]->FullPath != path) {
    i = i + 1 == capacity ? 0 : i + 1;
  }
  return i;
}

bool TFileMap::insert(TFileInfo* record) {
  if (!HasRoom(FCount + 1, FSlots.size())) Rehash(CapacityFor((FCount + 1) * 2));
  TFileInfo*& slot = FSlots[SlotOf(record->FullPath)];
  if (slot != nullptr) return false;
  slot = record;
  ++FCount;
  return true;
}

TFileInfo* TFileMap::find(std::string_view path) const {
  if (FSlots.empty()) return nullptr;
  return FSlots[SlotOf(path)];
}

void TFileMap::clear() {
  FSlots.clear();
  FSlots.shrink_to_fit();
  FCount = 0;
}

void TFileMap::Rehash(size_t capacity) {
  std::vector<TFileInfo*> old(capacity, nullptr);
  old.swap(FSlots);
  for (TFileInfo* record : old) {
    if (record != nullptr) FSlots[SlotOf(record->FullPath)] = record;
  }
}

}  // namespace parvolane
