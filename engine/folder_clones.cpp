#include "engine/folder_clones.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

#include "engine/clone_rows.h"
#include "engine/dir_paths.h"
#include "engine/file_info.h"
#include "engine/tree_walker.h"
#include "platform/posix/long_path.h"
#include "platform/posix/unique_fd.h"
#include "results/result_list.h"

namespace parvolane {

namespace {

constexpr int kOpenDirFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

using FileIdSet = std::unordered_set<FileId, FileIdHash>;

// One collected folder and what the run learns of it.
struct FolderRecord {
  std::string Path;
  EntrySnapshot Seen;  // identity and time from collection; the size is its tree's total
  std::string Signature;
  // Something in its tree could not be read: it is never offered as a clone, and neither is
  // any folder holding it.
  bool Incomplete = false;
};

// Everything one run builds; it goes when the run returns, whichever way it leaves.
struct FolderTable {
  std::vector<FolderRecord> DirList;
  PathSet ScanFolders;  // collected scan folders: the only paths whose last link is followed
  std::unordered_map<std::string_view, size_t, PathHash, std::equal_to<>> IndexOf;
  std::unordered_map<std::string, int64_t> DirSizes;
  std::unordered_map<std::string, std::vector<size_t>> SignatureGroups;  // indexes into DirList
};

// Skipped entries of this stage, each path counted once: the folder scan has usually met the
// same unreadable folder already, and collection and analysis meet it again.
class StageSkips final {
 public:
  explicit StageSkips(ScanSummary& summary) : FSummary(summary) {
    for (const SkippedEntry& entry : summary.Skipped.Kept())
      FSeen.insert(entry.Path);
  }
  void Add(SkipKind kind, const std::string& path, int error) {
    if (FSeen.insert(path).second) FSummary.Skipped.Add(kind, path, error);
  }
  void FolderError(const std::string& folder, int error) {
    std::string text = "cannot scan '" + folder + "': " + std::strerror(error);
    auto& errors = FSummary.FolderErrors;
    if (std::find(errors.begin(), errors.end(), text) == errors.end()) errors.push_back(text);
  }

 private:
  ScanSummary& FSummary;
  PathSet FSeen;
};

std::string ChildPrefix(const std::string& folder) {
  return folder == "/" ? std::string("/") : folder + '/';
}

EntrySnapshot SnapshotOf(const struct stat& st) {
  return EntrySnapshot{FileId{st.st_dev, st.st_ino}, 0, MTimeNsOf(st), true};
}

// ---- Collection ------------------------------------------------------------------------------

// What collection knows across scan folders: every folder already collected, by identity, and
// the scan folders collected so far with the path they were collected under.
struct Collection {
  Collection(FolderTable& table, StageSkips& skips) : Table(table), Skips(skips) {}

  // An earlier scan folder turned up again as a real folder below the scan folder being walked
  // (it was given as a link, or through one): its folders take the path of the walk, so that
  // the parent walked here finds its subfolder's signature by path. It is collected once
  // either way.
  void Absorb(FileId id, const std::string& walkedPath) {
    const auto root = ScanRoots.find(id);
    if (root == ScanRoots.end() || root->second == walkedPath) return;
    const std::string oldPath = root->second;
    const std::string oldPrefix = ChildPrefix(oldPath);
    for (FolderRecord& dir : Table.DirList) {
      if (dir.Path == oldPath) {
        dir.Path = walkedPath;
      } else if (dir.Path.starts_with(oldPrefix)) {
        dir.Path = ChildPrefix(walkedPath) + dir.Path.substr(oldPrefix.size());
      }
    }
    Table.ScanFolders.erase(oldPath);
    ScanRoots.erase(root);
  }

  FolderTable& Table;
  StageSkips& Skips;
  FileIdSet Seen;
  std::unordered_map<FileId, std::string, FileIdHash> ScanRoots;
};

// Lists every folder below one scan folder, without following links. A folder already
// collected, under this path or another one, is neither collected again nor entered.
class FolderCollector final : public WalkVisitor {
 public:
  FolderCollector(Collection& collection, ScanReporter& reporter)
      : FCollection(collection), FReporter(reporter) {}

  bool StopRequested() override { return FReporter.IsStopRequested(); }

  WalkStep EnterFolder(const std::string& path, const struct stat& st) override {
    const FileId id{st.st_dev, st.st_ino};
    if (FRoot) {
      FRoot = false;
      RootId = id;
      if (!FCollection.Seen.insert(id).second) return WalkStep::Skip;  // collected already
      FCollection.Table.ScanFolders.insert(path);
      Collect(path, st, false);
      RootCollected = true;
      return WalkStep::Continue;
    }
    if (!FCollection.Seen.insert(id).second) {
      FCollection.Absorb(id, path);
      return WalkStep::Skip;
    }
    Collect(path, st, false);
    return WalkStep::Continue;
  }

  WalkStep VisitFile(int, const char*, const std::string&, const struct stat*) override {
    return WalkStep::Continue;
  }

  // Cannot be opened: collected on its own, unless it vanished or stopped being a folder.
  void FolderFailed(int parentFd, const char* name, const std::string& path, int error) override {
    FCollection.Skips.Add(SkipKindOfError(error, true), path, error);
    struct stat st {};
    if (::fstatat(parentFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) return;
    if (FCollection.Seen.insert(FileId{st.st_dev, st.st_ino}).second) Collect(path, st, true);
  }

  void FolderLost(const std::string& path) override {
    FCollection.Skips.Add(SkipKind::Vanished, path, 0);
    auto& dirs = FCollection.Table.DirList;
    const auto found = std::find_if(dirs.rbegin(), dirs.rend(),
                                    [&](const FolderRecord& dir) { return dir.Path == path; });
    if (found != dirs.rend()) found->Incomplete = true;
  }

  FileId RootId;
  bool RootCollected = false;

 private:
  void Collect(const std::string& path, const struct stat& st, bool incomplete) {
    FCollection.Table.DirList.push_back(FolderRecord{path, SnapshotOf(st), {}, incomplete});
  }

  Collection& FCollection;
  ScanReporter& FReporter;
  bool FRoot = true;
};

// Collects one scan folder (already normalized) and everything below it. A scan folder that is
// a link is followed: the user chose it. Runs without touching the reporter but its stop flag.
void CollectScanFolder(const std::string& root, Collection& collection, ScanReporter& reporter) {
  FolderCollector collector(collection, reporter);
  try {
    WalkTree(root, WalkOptions{}, collector);
  } catch (const std::system_error& e) {
    collection.Skips.FolderError(root, e.code().value());
    return;
  }
  // Registered only now, so that a walk that comes back to its own scan folder (a bind mount
  // inside it) never renames it.
  if (collector.RootCollected) collection.ScanRoots.emplace(collector.RootId, root);
}

// Returns false when the run ends here without listing.
bool CollectFolders(FolderTable& table, StageSkips& skips, ScanReporter& reporter) {
  Collection collection(table, skips);
  const std::vector<std::string> folders = reporter.CurrentSettings().Folders;
  for (const std::string& entry : folders) {
    if (reporter.IsStopRequested()) break;
    struct stat st {};
    const bool found = StatLongPath(entry, st, true);
    if (!found || !S_ISDIR(st.st_mode)) {
      skips.FolderError(entry, found ? ENOTDIR : errno);
      continue;
    }
    reporter.ReportStatus("Collecting directories: " + entry);
    reporter.SetBusy(true);
    const std::string root = NormalizeDirPath(entry);
    reporter.RunBlocking([&] { CollectScanFolder(root, collection, reporter); });
    reporter.SetBusy(false);
    reporter.PumpEvents();
  }
  return !reporter.IsStopRequested() && !table.DirList.empty();
}

// ---- Analysis --------------------------------------------------------------------------------

// Signs one folder from a single listing of it, which gives both its files and its subfolders.
class FolderSigner final {
 public:
  FolderSigner(FolderTable& table, StageSkips& skips, ScanReporter& reporter)
      : FTable(table), FSkips(skips), FReporter(reporter) {}

  // Fills the record's signature and the folder's total size. False on a stop.
  bool Sign(FolderRecord& dir) {
    FText.Clear();
    FTotal = 0;
    const int flags = kOpenDirFlags | (FTable.ScanFolders.contains(dir.Path) ? 0 : O_NOFOLLOW);
    const UniqueFd fd(OpenLongPath(dir.Path, flags));
    if (!fd.IsOpen() || !FListing.Read(fd.get())) {
      Unreadable(dir, errno);
    } else {
      FChildPath = ChildPrefix(dir.Path);
      FBase = FChildPath.size();
      FolderListing::Entry entry{};
      while (FListing.Next(entry)) {
        if (FReporter.IsStopRequested()) return false;
        AddEntry(fd.get(), entry, dir);
      }
    }
    dir.Signature = SignatureOfText(FText.Text());
    dir.Seen.Size = FTotal;
    return true;
  }

 private:
  // The folder could not be listed (it vanished, or cannot be read): neither its files nor its
  // subfolders are known.
  void Unreadable(FolderRecord& dir, int error) {
    FSkips.Add(SkipKindOfError(error, true), dir.Path, error);
    dir.Incomplete = true;
    FText.Clear();
    FText.AddFilesAccessError();
    FText.AddDirsAccessError();
    FTotal = 0;
  }

  void AddEntry(int dirFd, const FolderListing::Entry& entry, FolderRecord& dir) {
    FChildPath.resize(FBase);
    FChildPath += entry.Name;
    struct stat st {};
    const bool folder = entry.Type == DT_DIR;
    bool queried = false;
    if (entry.Type == DT_UNKNOWN || !folder) {
      queried = ::fstatat(dirFd, entry.Name, &st, AT_SYMLINK_NOFOLLOW) == 0;
      if (!queried) {
        // Its size, or even its kind, is unknown: it counts with size 0, and the tree is not
        // known whole.
        FSkips.Add(SkipKindOfError(errno, false), FChildPath, errno);
        dir.Incomplete = true;
      }
    }
    if (folder || (queried && entry.Type == DT_UNKNOWN && S_ISDIR(st.st_mode))) {
      AddFolder(entry.Name, dir);
      return;
    }
    const int64_t size = !queried || S_ISLNK(st.st_mode) ? 0 : static_cast<int64_t>(st.st_size);
    FText.AddFile(entry.Name, size);
    FTotal += size;
  }

  void AddFolder(const char* name, FolderRecord& dir) {
    const auto child = FTable.IndexOf.find(std::string_view(FChildPath));
    if (child == FTable.IndexOf.end()) {
      // Never collected (it appeared after collection): nothing is known of its tree.
      dir.Incomplete = true;
      FText.AddFolder(name, std::string_view(), 0);
      return;
    }
    const FolderRecord& sub = FTable.DirList[child->second];
    dir.Incomplete = dir.Incomplete || sub.Incomplete;
    FText.AddFolder(name, sub.Signature, sub.Seen.Size);
    FTotal += sub.Seen.Size;
  }

  FolderTable& FTable;
  StageSkips& FSkips;
  ScanReporter& FReporter;
  FolderListing FListing;
  SignatureTextBuilder FText;
  std::string FChildPath;
  size_t FBase = 0;
  int64_t FTotal = 0;
};

void ReportAnalysis(ScanReporter& reporter, size_t done, size_t count) {
  reporter.ReportStatus("Analyzing directories (" + std::to_string(done) + "/" +
                        std::to_string(count) + ")...");
  reporter.PumpEvents();
}

int32_t ProgressValue(size_t value) {
  return static_cast<int32_t>(std::min<size_t>(value, INT32_MAX));
}

void SortIntoAnalysisOrder(FolderTable& table) {
  std::vector<FolderRecord>& dirs = table.DirList;
  std::sort(dirs.begin(), dirs.end(), [](const FolderRecord& a, const FolderRecord& b) {
    return AnalysisLess(a.Path, b.Path);
  });
  // One path, one folder.
  dirs.erase(
      std::unique(dirs.begin(), dirs.end(),
                  [](const FolderRecord& a, const FolderRecord& b) { return a.Path == b.Path; }),
      dirs.end());
  table.IndexOf.reserve(dirs.size());
  for (size_t i = 0; i < dirs.size(); ++i)
    table.IndexOf.emplace(std::string_view(dirs[i].Path), i);
}

// Signs every folder, those below first, so that one pass over the list suffices. Returns false
// when the run ends here without listing.
bool AnalyzeFolders(FolderTable& table, StageSkips& skips, ScanReporter& reporter) {
  SortIntoAnalysisOrder(table);
  const size_t count = table.DirList.size();
  reporter.SetProgressRange(0, ProgressValue(count));
  reporter.SetProgressPosition(0);
  ReportAnalysis(reporter, 0, count);

  table.DirSizes.reserve(count);
  FolderSigner signer(table, skips, reporter);
  for (size_t i = 0; i < count; ++i) {
    if (reporter.IsStopRequested()) return false;
    FolderRecord& dir = table.DirList[i];
    if (!signer.Sign(dir)) return false;
    // Only folders read whole can be clones of anything.
    if (!dir.Incomplete) table.SignatureGroups[dir.Signature].push_back(i);
    table.DirSizes.insert_or_assign(dir.Path, dir.Seen.Size);
    const size_t done = i + 1;
    reporter.SetProgressPosition(ProgressValue(done));
    if (done % 10 == 0 || done == count) ReportAnalysis(reporter, done, count);
  }
  return !reporter.IsStopRequested();
}

size_t CountIncomplete(const FolderTable& table) {
  return static_cast<size_t>(std::count_if(table.DirList.begin(), table.DirList.end(),
                                           [](const FolderRecord& dir) { return dir.Incomplete; }));
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
    group.Dirs.push_back(table.DirList[index].Path);
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

std::vector<TDirGroupRec> FormGroups(const FolderTable& table, ScanSummary& summary,
                                     ScanReporter& reporter) {
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
    summary.DirGroupsCut = groups.size() - static_cast<size_t>(settings.MaxGroups);
    groups.resize(static_cast<size_t>(settings.MaxGroups));
  }
  return groups;
}

// What the scan saw of each listed folder, so that a later delete can compare it with the disk.
FolderSnapshots SnapshotsOf(const FolderTable& table, const std::vector<TDirGroupRec>& groups) {
  FolderSnapshots snapshots;
  for (const TDirGroupRec& group : groups) {
    for (const std::string& path : group.Dirs) {
      const FolderRecord& dir = table.DirList[table.IndexOf.at(path)];
      snapshots.emplace(path, FolderSnapshot{dir.Seen, dir.Signature});
    }
  }
  return snapshots;
}

// ---- Listing ---------------------------------------------------------------------------------

void ListGroups(ResultList& lvDirs, const std::vector<TDirGroupRec>& groups,
                const FolderTable& table, ScanReporter& reporter) {
  const size_t count = groups.size();
  const FolderSnapshots snapshots = SnapshotsOf(table, groups);
  reporter.SetProgressPosition(0);
  reporter.SetProgressRange(0, count == 0 ? 1 : ProgressValue(count));
  reporter.ReportStatus("Listing directory groups...");
  reporter.PumpEvents();

  const ListUpdateGuard update(lvDirs);
  int groupNo = 1;
  size_t listed = 0;
  for (const TDirGroupRec& group : groups) {
    if (reporter.IsStopRequested()) break;
    AddDirGroupToList(lvDirs, group.Dirs, table.DirSizes, group.TotalSize, groupNo, &snapshots);
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
bool DetectAndList(ScanState& state, ScanReporter& reporter) {
  ResultList& lvDirs = state.lvDirs;
  const RowUpdateGuard bracket(lvDirs);
  lvDirs.ClearRows();
  ClearListGroups(lvDirs);
  FolderTable table;
  StageSkips skips(state.Summary);
  if (!CollectFolders(table, skips, reporter)) return false;
  const bool analyzed = AnalyzeFolders(table, skips, reporter);
  state.Summary.FoldersLeftOut = CountIncomplete(table);
  if (!analyzed) return false;
  const std::vector<TDirGroupRec> groups = FormGroups(table, state.Summary, reporter);
  ListGroups(lvDirs, groups, table, reporter);
  return true;
}

}  // namespace

void FindDirectoryDuplicates(ScanState& state, ScanReporter& reporter) {
  if (!DetectAndList(state, reporter)) return;
  reporter.ReportStatus(reporter.IsStopRequested() ? "Directory scan cancelled."
                                                   : "Duplicate directory groups listed.");
  reporter.SetProgressPosition(0);
}

}  // namespace parvolane
