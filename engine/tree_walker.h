#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/file_info.h"
#include "engine/scan_issues.h"

namespace parvolane {

/// What a walk does after a visitor has seen an entry.
enum class WalkStep {
  Continue,  // go on (a folder: walk what it holds)
  Skip,      // a folder: leave out what it holds; a file: nothing more
  Stop,      // end the whole walk now
};

/// The entries of one folder as one listing returned them, "." and ".." left out.
/// Reads with getdents64 into a large buffer and keeps only the bytes the entries need.
class FolderListing final {
 public:
  struct Entry {
    const char* Name;
    unsigned char Type;  // DT_DIR, DT_REG, DT_LNK, DT_UNKNOWN, ...
  };

  /// Lists the folder open at `fd` from its start; false with errno set when a read failed.
  bool Read(int fd);
  /// The next entry, or false at the end.
  bool Next(Entry& entry);
  void Clear();

 private:
  std::vector<char> FBytes;
  size_t FPos = 0;
};

/// Told about what a walk meets. Threading: called on the walking thread only, except for
/// StopRequested, which a visitor may answer from a flag that any thread sets.
class WalkVisitor {
 public:
  virtual ~WalkVisitor() = default;
  /// Checked before every entry; true ends the walk there.
  virtual bool StopRequested() { return false; }
  /// A folder, opened, with its own fstat, before anything in it is listed. The walk's root
  /// comes here too. Skip leaves it unlisted.
  virtual WalkStep EnterFolder(const std::string& path, const struct stat& st) = 0;
  /// An entry that is not walked as a folder. `st` is its lstat when the walk had to make one
  /// to learn its kind (the file system gave none), else nullptr.
  virtual WalkStep VisitFile(int parentFd, const char* name, const std::string& path,
                             const struct stat* st) = 0;
  /// A folder below the root that could not be opened or listed; `error` is the errno.
  virtual void FolderFailed(int parentFd, const char* name, const std::string& path, int error) = 0;
  /// A folder already entered that could not be found again (closed to save descriptors, then
  /// moved or replaced): the rest of its entries are not walked.
  virtual void FolderLost(const std::string& path) = 0;
};

/// How a walk treats links and trash folders.
struct WalkOptions {
  /// Links to folders are walked like folders (the visitor must end cycles in EnterFolder).
  bool FollowFolderLinks = false;
  /// The user's trash folders below the root are neither listed nor reported.
  bool LeaveOutTrash = true;
  /// At most this many folders stay open; shallower ones are closed and opened again (and
  /// checked to be the same folder) when the walk returns to them.
  size_t MaxOpenFolders = 64;
};

/// The user's trash folders: the home trash by identity, the per-volume ones by name
/// (".Trash-<uid>", and "<uid>" inside ".Trash", wherever they stand).
class TrashFolders final {
 public:
  /// Looks up the home trash ($XDG_DATA_HOME/Trash, else ~/.local/share/Trash) once.
  TrashFolders();
  /// Whether a folder named `name`, in a folder named `parentName`, is a volume's trash.
  bool IsVolumeTrash(std::string_view name, std::string_view parentName) const;
  /// Whether the folder with this identity is the home trash.
  bool IsHomeTrash(FileId id) const { return FHasHome && id == FHome; }

 private:
  FileId FHome;
  bool FHasHome = false;
  std::string FVolumeName;  // ".Trash-<uid>"
  std::string FUid;
};

/// The kind of skip an errno from opening or querying an entry stands for.
SkipKind SkipKindOfError(int error, bool folder);

/// Walks the tree below `root` depth first in pre-order, without recursion: any depth and any
/// path length work, with a bounded number of open folders. The root is opened following
/// links; `root` is used as the start of every path given to the visitor.
/// Returns false when the walk was stopped (by StopRequested or a visitor's Stop).
/// Errors: std::system_error (what() "cannot scan '<root>': <reason>") when the root cannot be
/// opened or listed.
bool WalkTree(const std::string& root, const WalkOptions& options, WalkVisitor& visitor);

}  // namespace parvolane
