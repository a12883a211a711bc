#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "engine/file_info.h"

namespace parvolane {

/// How an entry on disk compares with what a scan saw of it.
enum class EntryState {
  Unchanged,  // still there: the same file (device, inode), size and modification time
  Changed,    // something is at the path, but not what the scan saw
  Gone,       // nothing is at the path
};

/// A folder tree signed the way folder clone detection signs it.
struct TreeSignature {
  std::string Signature;  // 40 hexadecimal digits
  int64_t Size = 0;       // total bytes of the files below it
  bool Complete = false;  // false when some folder of the tree could not be listed
};

/// Signs the folder at `path` and everything below it: every folder's lines are built from
/// its direct entries, subfolders by their own signatures and sizes, exactly as folder clone
/// detection builds them, so an unchanged tree signs as it did during the scan. Links are
/// entries of size 0 and never followed. Works for trees of any depth (no recursion, at most
/// one folder open at a time) and paths of any length.
/// Errors: none; a folder that cannot be listed signs with the access-error lines.
TreeSignature SignFolderTree(const std::string& path);

/// Compares a file with the scan's snapshot: a regular file (not a link) with the same device,
/// inode, size and modification time is Unchanged. A snapshot that is not Known can never be
/// confirmed: anything still at the path is Changed.
EntryState CheckFile(const std::string& path, const EntrySnapshot& seen);

/// Compares a folder: a real folder (not a link), the same folder (device and inode) when the
/// snapshot is Known, and a tree that signs as `signature` when one is given (a whole-tree
/// walk). Without a known snapshot or signature only that part is not checked.
EntryState CheckFolder(const std::string& path, const EntrySnapshot& seen,
                       std::string_view signature);

}  // namespace parvolane
