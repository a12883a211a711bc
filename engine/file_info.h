#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "results/digest_text.h"
#include "results/entry_snapshot.h"
#include "results/path_parts.h"
#include "results/slot_pool.h"

namespace parvolane {

/// One collected file.
class TFileInfo final {
 public:
  /// Creates a record for APath, querying the size of the path's own entry (a link is not
  /// followed and counts as 0 bytes); Size is -1 when the query fails. Raises no error.
  explicit TFileInfo(const std::string& APath);
  /// Creates a record whose size the caller has already queried (the folder walk does this
  /// relative to an open folder, which is cheaper than resolving the whole path again).
  TFileInfo(std::string APath, int64_t ASize);

  std::string FullPath;
  /// The file's name: the last component of FullPath (kept no second time, since a scan holds
  /// a record per file).
  std::string_view Name() const { return NameOfPath(FullPath); }
  int64_t Size = -1;
  /// The SHA-1 of the content once hashed (or taken from the hash cache); empty before.
  DigestText ContentHash;
  /// Device and inode, and the modification time, as the folder walk saw them (zero when
  /// the size query failed).
  FileId Id;
  int64_t MTimeNs = 0;
  /// Status-change time, nanoseconds since the epoch (the hash cache's key needs it).
  int64_t CTimeNs = 0;
  /// Birth time, nanoseconds since the epoch, where the walk learnt it (0: unknown).
  int64_t BirthNs = 0;
  /// The digest of the first and last blocks once known (read, or taken from the hash cache).
  std::optional<size_t> EdgeSignature;

  // A scan makes a record per file: they take slots, which the rows that list them reuse.
  static void* operator new(size_t size) { return TakeSlot(size); }
  static void operator delete(void* p, size_t size) noexcept { GiveSlot(p, size); }
};
static_assert(sizeof(TFileInfo) <= SlotPool::kSlotSize && alignof(TFileInfo) <= alignof(void*));

/// The owning list of records, in collection order.
using TFileList = std::vector<std::unique_ptr<TFileInfo>>;
/// Whether an open-addressing table of `capacity` slots (linear probing) holds `count` entries
/// and stays quick: at most three quarters full. A tighter rule would cost a scan of a million
/// files tens of megabytes of memory that is touched once.
constexpr bool HasRoom(size_t count, size_t capacity) {
  return count * 4 <= capacity * 3;
}
/// The fewest slots that hold `count` entries by that rule (16 at least). Tables take any
/// number of slots, not only powers of two: a million entries need 1.33 million slots, not 2.1.
constexpr size_t CapacityFor(size_t count) {
  const size_t needed = (count * 4 + 2) / 3;
  return needed < 16 ? 16 : needed;
}
/// The first slot a hash probes in a table of `capacity` slots: the hash scaled to the
/// capacity, which takes its high bits (the hashes used here mix every bit).
inline size_t HomeSlot(size_t hash, size_t capacity) {
  __extension__ using Wide = unsigned __int128;
  return static_cast<size_t>((static_cast<Wide>(hash) * capacity) >> 64);
}

/// Path index over the records of a TFileList; owns nothing. Keyed by the exact path, since
/// paths on this platform are case sensitive. One flat table of record pointers (open
/// addressing, no allocation per entry, the hash worked out again from the record's path where
/// needed): a scan enters every record it collects.
class TFileMap final {
 public:
  /// Makes room for `count` records in all without growing again.
  void reserve(size_t count);
  /// Enters the record under its FullPath; false (and nothing changes) when a record with the
  /// same path is present already. The record must outlive its entry.
  bool insert(TFileInfo* record);
  /// The record entered under `path`, or nullptr.
  TFileInfo* find(std::string_view path) const;
  size_t size() const { return FCount; }
  void clear();

 private:
  size_t SlotOf(std::string_view path) const;
  void Rehash(size_t capacity);

  std::vector<TFileInfo*> FSlots;  // nullptr: empty; at most three quarters full
  size_t FCount = 0;
};

/// The modification time of a stat record in nanoseconds since the epoch.
int64_t MTimeNsOf(const struct stat& st);
/// The status-change time of a stat record in nanoseconds since the epoch.
int64_t CTimeNsOf(const struct stat& st);

/// Size of a path's own directory entry without following a link: 0 for a symbolic link,
/// -1 when the query fails. Paths of any length.
int64_t QueryEntrySize(const std::string& path);

}  // namespace parvolane
