#include "engine/folder_clones.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "engine/dir_paths.h"
#include "engine/file_info.h"
#include "engine/paths.h"
#include "results/result_list.h"

namespace parvolane {

namespace {

constexpr int kOpenDirFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
// Collection keeps at most this many ancestors open; deeper trees reopen an ancestor by its
// path when they come back to it, so the walk never runs out of descriptors.
constexpr size_t kMaxOpenFrames = 64;

struct DirCloser {
  void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

using FileIdSet = std::unordered_set<FileId, FileIdHash>;

// Everything one run builds; it goes when the run returns, whichever way it leaves.
struct FolderTable {
  std::vector<std::string> DirList;
  PathSet ScanFolders;  // collected scan folders: the only paths whose last link is followed
  std::unordered_map<std::string_view, std::string, PathHash, std::equal_to<>> DirSignatures;
  std::unordered_map<std::string, int64_t> DirSizes;
  std::unordered_map<std::string, std::vector<size_t>> SignatureGroups;  // indexes into DirList
};

bool IsDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Opens a folder by its absolute path. A path too long for one system call is opened piece by
// piece, each piece relative to the folder before it.
int OpenFolderPath(const std::string& path, bool followLink) {
  const int lastFlags = kOpenDirFlags | (followLink ? 0 : O_NOFOLLOW);
  if (path.size() < PATH_MAX) return ::open(path.c_str(), lastFlags);
  int fd = ::open("/", kOpenDirFlags);
  size_t pos = 1;
  while (fd >= 0 && pos < path.size()) {
    size_t end = path.size();
    if (end - pos >= PATH_MAX) end = path.rfind('/', pos + PATH_MAX - 1);
    if (end == std::string::npos || end <= pos) {
      ::close(fd);
      return -1;
    }
    const std::string piece = path.substr(pos, end - pos);
    const int next = ::openat(fd, piece.c_str(), end == path.size() ? lastFlags : kOpenDirFlags);
    ::close(fd);
    fd = next;
    pos = end + 1;
  }
  return fd;
}

DirHandle OpenDirHandle(int fd) {
  if (fd < 0) return nullptr;
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) ::close(fd);
  return DirHandle(dir);
}

// The next entry other than "." and ".."; nullptr at the end or on failure (errno tells).
dirent* NextEntry(DIR* dir) {
  for (;;) {
    errno = 0;
    dirent* entry = ::readdir(dir);
    if (entry == nullptr || !IsDotOrDotDot(entry->d_name)) return entry;
  }
}

// Whether an entry is a folder, without following a link: a link is never a folder here.
bool IsFolderEntry(int dirFd, const dirent& entry) {
  if (entry.d_type != DT_UNKNOWN) return entry.d_type == DT_DIR;
  struct stat st {};
  return ::fstatat(dirFd, entry.d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

// Size of an entry's own directory record: 0 for a link (its target is not followed) and 0
// when the query fails.
int64_t EntrySize(int dirFd, const char* name) {
  struct stat st {};
  if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISLNK(st.st_mode)) return 0;
  return static_cast<int64_t>(st.st_size);
}

std::string ChildPrefix(const std::string& folder) {
  return folder == "/" ? std::string("/") : folder + '/';
}

// ---- Collection ------------------------------------------------------------------------------

// What collection knows across scan folders: every folder already collected, by identity, and
// the scan folders collected so far with the path they were collected under.
struct Collection {
  explicit Collection(FolderTable& table) : Table(table) {}

  // An earlier scan folder turned up again as a real folder below the scan folder being walked
  // (it was given as a link, or through one): its folders take the path of the walk, so that
  // the parent walked here finds its subfolder's signature by path. It is collected once
  // either way.
  void Absorb(FileId id, const std::string& walkedPath) {
    const auto root = ScanRoots.find(id);
    if (root == ScanRoots.end() || root->second == walkedPath) return;
    const std::string oldPath = root->second;
    const std::string oldPrefix = ChildPrefix(oldPath);
    for (std::string& dir : Table.DirList) {
      if (dir == oldPath) {
        dir = walkedPath;
      } else if (dir.starts_with(oldPrefix)) {
        dir = ChildPrefix(walkedPath) + dir.substr(oldPrefix.size());
      }
    }
    Table.ScanFolders.erase(oldPath);
    ScanRoots.erase(root);
  }

  FolderTable& Table;
  FileIdSet Seen;
  std::unordered_map<FileId, std::string, FileIdHash> ScanRoots;
};

// Lists every folder below one scan folder, depth first, without recursion (any depth works)
// and without following links. A folder already collected, under this path or another one, is
// neither collected again nor entered.
class FolderCollector final {
 public:
  explicit FolderCollector(Collection& collection) : FCollection(collection) {}

  void CollectBelow(const std::string& root, DirHandle rootDir, FileId rootId) {
    FPath = root == "/" ? std::string() : root;
    PushFrame(std::move(rootDir), rootId);
    while (!FStack.empty()) {
      const size_t top = FStack.size() - 1;
      if (FStack[top].Pending.empty()) {
        FStack.pop_back();
        continue;
      }
      const std::string name = std::move(FStack[top].Pending.back());
      FStack[top].Pending.pop_back();
      const int parentFd = FrameFd(top);
      if (parentFd < 0) {
        FStack[top].Pending.clear();  // the folder is gone: nothing more below it
        continue;
      }
      FPath.resize(FStack[top].PathLength);
      FPath += '/';
      FPath += name;
      VisitSubfolder(parentFd, name.c_str());
    }
  }

 private:
  struct Frame {
    DirHandle Dir;
    FileId Id;
    size_t PathLength = 0;
    std::vector<std::string> Pending;  // subfolder names not visited yet
  };

  // True when the folder is new; collects its path then.
  bool CollectOnce(FileId id) {
    if (!FCollection.Seen.insert(id).second) {
      FCollection.Absorb(id, FPath);
      return false;
    }
    FCollection.Table.DirList.push_back(FPath);
    return true;
  }

  void VisitSubfolder(int parentFd, const char* name) {
    const int fd = ::openat(parentFd, name, kOpenDirFlags | O_NOFOLLOW);
    struct stat st {};
    if (fd < 0) {
      // Cannot be opened: collected on its own, unless it vanished or stopped being a folder.
      if (::fstatat(parentFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) {
        CollectOnce(FileId{st.st_dev, st.st_ino});
      }
      return;
    }
    if (::fstat(fd, &st) != 0 || !CollectOnce(FileId{st.st_dev, st.st_ino})) {
      ::close(fd);
      return;
    }
    PushFrame(OpenDirHandle(fd), FileId{st.st_dev, st.st_ino});
  }

  void PushFrame(DirHandle dir, FileId id) {
    Frame frame;
    frame.Id = id;
    frame.PathLength = FPath.size();
    if (dir != nullptr) frame.Pending = ReadSubfolderNames(dir.get());
    frame.Dir = std::move(dir);
    FStack.push_back(std::move(frame));
    if (FStack.size() > kMaxOpenFrames) FStack[FStack.size() - 1 - kMaxOpenFrames].Dir.reset();
  }

  static std::vector<std::string> ReadSubfolderNames(DIR* dir) {
    std::vector<std::string> names;
    while (const dirent* entry = NextEntry(dir)) {
      if (IsFolderEntry(::dirfd(dir), *entry)) names.emplace_back(entry->d_name);
    }
    return names;
  }

  // The open folder of a frame, reopened by its path when it was closed to save descriptors;
  // -1 when that path no longer leads to the same folder.
  int FrameFd(size_t index) {
    Frame& frame = FStack[index];
    if (frame.Dir == nullptr) {
      const std::string path = frame.PathLength == 0 ? "/" : FPath.substr(0, frame.PathLength);
      DirHandle dir = OpenDirHandle(OpenFolderPath(path, index == 0));
      struct stat st {};
      if (dir == nullptr || ::fstat(::dirfd(dir.get()), &st) != 0 ||
          !(FileId{st.st_dev, st.st_ino} == frame.Id)) {
        return -1;
      }
      frame.Dir = std::move(dir);
    }
    return ::dirfd(frame.Dir.get());
  }

  Collection& FCollection;
  std::string FPath;
  std::vector<Frame> FStack;
};

// Collects one scan folder (already normalized) and everything below it. A scan folder that is
// a link is followed: the user chose it. Runs without touching the reporter.
void CollectScanFolder(const std::string& root, Collection& collection) {
  DirHandle dir = OpenDirHandle(OpenFolderPath(root, true));
  struct stat st {};
  const bool known =
      dir != nullptr ? ::fstat(::dirfd(dir.get()), &st) == 0 : ::stat(root.c_str(), &st) == 0;
  const FileId id{st.st_dev, st.st_ino};
  if (known && !collection.Seen.insert(id).second) return;  // collected already
  collection.Table.DirList.push_back(root);
  collection.Table.ScanFolders.insert(root);
  if (dir != nullptr) FolderCollector(collection).CollectBelow(root, std::move(dir), id);
  // Registered only now, so that a walk that comes back to its own scan folder (a bind mount
  // inside it) never renames it.
  if (known) collection.ScanRoots.emplace(id, root);
}

// Returns false when the run ends here without listing.
bool CollectFolders(FolderTable& table, ScanReporter& reporter) {
  Collection collection(table);
  const std::vector<std::string> folders = reporter.CurrentSettings().Folders;
  for (const std::string& entry : folders) {
    if (reporter.IsStopRequested()) break;
    if (!IsExistingFolder(entry)) continue;
    reporter.ReportStatus("Collecting directories: " + entry);
    reporter.SetBusy(true);
    const std::string root = NormalizeDirPath(entry);
    reporter.RunBlocking([&] { CollectScanFolder(root, collection); });
    reporter.SetBusy(false);
    reporter.PumpEvents();
  }
  return !reporter.IsStopRequested() && !table.DirList.empty();
}

// ---- Analysis --------------------------------------------------------------------------------

// Fills the builder with one folder's lines and returns the folder's total size. The folder is
// listed once: that one listing gives both its files and its subfolders.
int64_t ListFolderLines(const FolderTable& table, const std::string& path,
                        SignatureTextBuilder& text, std::string& childPath) {
  text.Clear();
  const bool followLink = table.ScanFolders.contains(path);
  DirHandle dir = OpenDirHandle(OpenFolderPath(path, followLink));
  int64_t total = 0;
  if (dir != nullptr) {
    const int dirFd = ::dirfd(dir.get());
    childPath = ChildPrefix(path);
    const size_t base = childPath.size();
    while (const dirent* entry = NextEntry(dir.get())) {
      if (!IsFolderEntry(dirFd, *entry)) {
        const int64_t size = EntrySize(dirFd, entry->d_name);
        text.AddFile(entry->d_name, size);
        total += size;
        continue;
      }
      childPath.resize(base);
      childPath += entry->d_name;
      const auto signature = table.DirSignatures.find(std::string_view(childPath));
      const auto size = table.DirSizes.find(childPath);
      const int64_t childSize = size == table.DirSizes.end() ? 0 : size->second;
      text.AddFolder(
          entry->d_name,
          signature == table.DirSignatures.end() ? std::string_view() : signature->second,
          childSize);
      total += childSize;
    }
    if (errno == 0) return total;
  }
  // The folder could not be listed (it vanished, or cannot be read): neither its files nor its
  // subfolders are known.
  text.Clear();
  text.AddFilesAccessError();
  text.AddDirsAccessError();
  return 0;
}

void ReportAnalysis(ScanReporter& reporter, size_t done, size_t count) {
  reporter.ReportStatus("Analyzing directories (" + std::to_string(done) + "/" +
                        std::to_string(count) + ")...");
  reporter.PumpEvents();
}

int32_t ProgressValue(size_t value) {
  return static_cast<int32_t>(std::min<size_t>(value, INT32_MAX));
}

// Signs every folder, those below first, so that one pass over the list suffices. Returns false
// when the run ends here without listing.
bool AnalyzeFolders(FolderTable& table, ScanReporter& reporter) {
  std::vector<std::string>& dirs = table.DirList;
  std::sort(dirs.begin(), dirs.end(),
            [](const std::string& a, const std::string& b) { return AnalysisLess(a, b); });
  dirs.erase(std::unique(dirs.begin(), dirs.end()), dirs.end());  // one path, one folder
  const size_t count = dirs.size();
  reporter.SetProgressRange(0, ProgressValue(count));
  reporter.SetProgressPosition(0);
  ReportAnalysis(reporter, 0, count);

  table.DirSignatures.reserve(count);
  table.DirSizes.reserve(count);
  SignatureTextBuilder text;
  std::string childPath;
  for (size_t i = 0; i < count; ++i) {
    if (reporter.IsStopRequested()) return false;
    const int64_t total = ListFolderLines(table, dirs[i], text, childPath);
    std::string signature = SignatureOfText(text.Text());
    table.SignatureGroups[signature].push_back(i);
    table.DirSignatures.insert_or_assign(std::string_view(dirs[i]), std::move(signature));
    table.DirSizes.insert_or_assign(dirs[i], total);
    const size_t done = i + 1;
    reporter.SetProgressPosition(ProgressValue(done));
    if (done % 10 == 0 || done == count) ReportAnalysis(reporter, done, count);
  }
  return !reporter.IsStopRequested();
}

// ---- Groups ----------------------------------------------------------------------------------

int64_t SizeOf(const FolderTable& table, const std::string& path) {
  const auto found = table.DirSizes.find(path);
  return found == table.DirSizes.end() ? 0 : found->second;
}

// Keeps the members of one candidate group that do not lie below another kept member.
TDirGroupRec KeepTopMembers(const FolderTable& table, const std::vector<size_t>& members) {
  TDirGroupRec group;
  for (const size_t index : members)
    group.Dirs.push_back(table.DirList[index]);
  std::sort(group.Dirs.begin(), group.Dirs.end(),
            [](const std::string& a, const std::string& b) { return PathLess(a, b); });
  PathSet keptPaths;
  std::vector<std::string> kept;
  for (std::string& dir : group.Dirs) {
    if (HasAncestorIn(dir, keptPaths)) continue;
    keptPaths.insert(NormalizeDirPath(dir));
    group.TotalSize += SizeOf(table, dir);
    kept.push_back(std::move(dir));
  }
  group.Dirs = std::move(kept);
  return group;
}

std::vector<TDirGroupRec> FormGroups(const FolderTable& table, ScanReporter& reporter) {
  reporter.ReportStatus("Grouping duplicate directories...");
  reporter.PumpEvents();
  const ScanSettings settings = reporter.CurrentSettings();
  const size_t minGroupSize = static_cast<size_t>(std::max(settings.MinGroupSize, 2));

  std::vector<TDirGroupRec> groups;
  for (const auto& [signature, members] : table.SignatureGroups) {
    if (reporter.IsStopRequested()) break;
    if (members.size() < minGroupSize) continue;
    TDirGroupRec group = KeepTopMembers(table, members);
    if (group.Dirs.size() >= minGroupSize) groups.push_back(std::move(group));
  }
  // Largest first; equal totals by their first member, so that every run lists the same way.
  std::sort(groups.begin(), groups.end(), [](const TDirGroupRec& a, const TDirGroupRec& b) {
    if (a.TotalSize != b.TotalSize) return a.TotalSize > b.TotalSize;
    return PathLess(a.Dirs.front(), b.Dirs.front());
  });
  if (settings.MaxGroups > 0 && static_cast<size_t>(settings.MaxGroups) < groups.size()) {
    groups.resize(static_cast<size_t>(settings.MaxGroups));
  }
  return groups;
}

// ---- Listing ---------------------------------------------------------------------------------

void ListGroups(ResultList& lvDirs, const std::vector<TDirGroupRec>& groups,
                const FolderTable& table, ScanReporter& reporter) {
  const size_t count = groups.size();
  reporter.SetProgressPosition(0);
  reporter.SetProgressRange(0, count == 0 ? 1 : ProgressValue(count));
  reporter.ReportStatus("Listing directory groups...");
  reporter.PumpEvents();

  const ListUpdateGuard update(lvDirs);
  int groupNo = 1;
  size_t listed = 0;
  for (const TDirGroupRec& group : groups) {
    if (reporter.IsStopRequested()) break;
    AddDirGroupToList(lvDirs, group.Dirs, table.DirSizes, group.TotalSize, groupNo);
    ++listed;
    reporter.SetProgressPosition(ProgressValue(listed));
    if (listed % 5 == 0) {
      reporter.ReportStatus("Listing directory groups (" + std::to_string(listed) + "/" +
                            std::to_string(count) + ")...");
      reporter.PumpEvents();
    }
  }
}

// The run up to the end of the listing. Returns false when it ended without listing. Whatever
// it made is released, and the list's row update closed, when it returns.
bool DetectAndList(ResultList& lvDirs, ScanReporter& reporter) {
  const RowUpdateGuard bracket(lvDirs);
  lvDirs.ClearRows();
  ClearListGroups(lvDirs);
  FolderTable table;
  if (!CollectFolders(table, reporter)) return false;
  if (!AnalyzeFolders(table, reporter)) return false;
  const std::vector<TDirGroupRec> groups = FormGroups(table, reporter);
  ListGroups(lvDirs, groups, table, reporter);
  return true;
}

}  // namespace

void FindDirectoryDuplicates(ScanState& state, ScanReporter& reporter) {
  if (!DetectAndList(state.lvDirs, reporter)) return;
  reporter.ReportStatus(reporter.IsStopRequested() ? "Directory scan cancelled."
                                                   : "Duplicate directory groups listed.");
  reporter.SetProgressPosition(0);
}

}  // namespace parvolane
