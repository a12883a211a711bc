#pragma once

#include <cstddef>
#include <vector>

#include "engine/file_info.h"

namespace parvolane {

/// A set of file identities with open addressing: one flat array, no allocation per entry.
/// A scan asks it once per collected file, so it must stay cheap at a million entries.
class FileIdSet final {
 public:
  void reserve(size_t count) {
    if (!HasRoom(count, FSlots.size())) Rehash(CapacityFor(count));
  }

  /// Adds the identity; false when it was present already.
  bool insert(const FileId& id) {
    if (!HasRoom(FCount + 1, FSlots.size())) Rehash(CapacityFor((FCount + 1) * 2));
    if (IsEmpty(id)) {  // inode 0 never names a file; keep it out of the table's marker
      const bool added = !FHasZero;
      FHasZero = true;
      return added;
    }
    const size_t capacity = FSlots.size();
    size_t i = HomeSlot(FileIdHash()(id), capacity);
    while (!IsEmpty(FSlots[i])) {
      if (FSlots[i] == id) return false;
      i = i + 1 == capacity ? 0 : i + 1;
    }
    FSlots[i] = id;
    ++FCount;
    return true;
  }

  size_t size() const { return FCount + (FHasZero ? 1 : 0); }

 private:
  static bool IsEmpty(const FileId& id) { return id.Inode == 0 && id.Device == 0; }

  void Rehash(size_t capacity) {
    std::vector<FileId> old(capacity);
    old.swap(FSlots);
    FCount = 0;
    for (const FileId& id : old) {
      if (!IsEmpty(id)) insert(id);
    }
  }

  std::vector<FileId> FSlots;
  size_t FCount = 0;
  bool FHasZero = false;
};

}  // namespace parvolane
