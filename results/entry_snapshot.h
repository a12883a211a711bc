#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// The identity and the state of one entry as a scan saw it: the rows of a result list carry
// them, so they live below the records that the scan collects.
namespace parvolane {

/// Identity of a file on this machine: two paths with the same device and inode are one file.
struct FileId {
  dev_t Device = 0;
  ino_t Inode = 0;
  bool operator==(const FileId&) const = default;
};

struct FileIdHash {
  size_t operator()(const FileId& id) const noexcept {
    // Inodes are often dense and sequential: mix them so that open addressing spreads them.
    uint64_t h = static_cast<uint64_t>(id.Inode) ^ (static_cast<uint64_t>(id.Device) << 32);
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDULL;
    h ^= h >> 33;
    return static_cast<size_t>(h);
  }
};

/// What a scan saw of one file or folder, so that a later action can tell whether the disk
/// still holds the same thing there.
struct EntrySnapshot {
  FileId Id;
  int64_t Size = -1;    // bytes; a folder's is the total of its tree
  int64_t MTimeNs = 0;  // modification time, nanoseconds since the epoch
  bool Known = false;   // false when the entry could not be queried
};

}  // namespace parvolane
