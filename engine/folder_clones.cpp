#include "engine/folder_clones.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
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
constexpr uint32_t kNone = kNoPathNode;
// Work between two looks at the stop flag in loops that do little per step.
constexpr size_t kStopPollEvery = 4096;
// Folders kept open at once while signing; shallower ones are closed and found again.
constexpr size_t kMaxOpenFolders = 64;

using FileIdSet = std::unordered_set<FileId, FileIdHash>;

// One folder of the tree and what the run learns of it. A folder holds its parent and its own
// name, never its whole path: on a deep tree the paths alone would grow with the square of the
// depth. Record 0 is "/"; folders on the way to a scan folder are records too, but not
// collected ones.
struct FolderRecord {
  uint32_t Parent = kNone;
  std::string Name;
  EntrySnapshot Seen;  // identity and time from collection; the size is its tree's total
  std::string Signature;
  bool Collected = false;
  bool ScanFolder = false;  // opened following a link, as the user chose it
  // Something in its tree could not be read: it is never offered as a clone, and neither is
  // any folder holding it.
  bool Incomplete = false;
};

struct ChildKey {
  uint32_t Parent;
  std::string_view Name;
  bool operator==(const ChildKey&) const = default;
};

struct ChildKeyHash {
  size_t operator()(const ChildKey& key) const noexcept {
    return std::hash<std::string_view>()(key.Name) ^ (size_t{key.Parent} * 0x9E3779B97F4A7C15ULL);
  }
};

// Everything one run builds; it goes when the run returns, whichever way it leaves.
struct FolderTable {
  FolderTable() { Records.emplace_back(); }  // "/"

  std::vector<FolderRecord> Records;
  // Laid out once collection is over: the children of each record, a pre-order walk of the
  // whole tree with each record's place in it and the last place below it (a folder lies
  // inside another exactly when its place falls in the other's span), path lengths and the
  // keys of the path order.
  std::vector<uint32_t> ChildStart, Children, Order, Pre, Post;
  std::vector<size_t> PathLength;
  std::vector<uint64_t> PathKey;
  std::unordered_map<ChildKey, uint32_t, ChildKeyHash> CollectedChild;
  std::unordered_map<std::string, std::vector<uint32_t>> SignatureGroups;
  size_t CollectedCount = 0;
};

std::string PathOf(const FolderTable& table, uint32_t index) {
  if (table.Records[index].Parent == kNone) return "/";
  if (index >= table.PathLength.size()) {
    // Before the tree is laid out (collection only): its names from the top.
    std::vector<uint32_t> chain;
    for (uint32_t i = index; table.Records[i].Parent != kNone; i = table.Records[i].Parent)
      chain.push_back(i);
    std::string path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
      path += '/';
      path += table.Records[*it].Name;
    }
    return path;
  }
  // Written from its end, each name once, into a string of the known length.
  std::string path(table.PathLength[index], '/');
  size_t end = path.size();
  for (uint32_t i = index; table.Records[i].Parent != kNone; i = table.Records[i].Parent) {
    const std::string& name = table.Records[i].Name;
    end -= name.size();
    name.copy(path.data() + end, name.size());
    --end;  // the '/' before it
  }
  return path;
}

std::string ChildPathOf(const FolderTable& table, uint32_t folder, std::string_view name) {
  std::string path = PathOf(table, folder);
  if (path != "/") path += '/';
  path += name;
  return path;
}

bool IsInside(const FolderTable& table, uint32_t inner, uint32_t outer) {
  return table.Pre[outer] < table.Pre[inner] && table.Pre[inner] <= table.Post[outer];
}

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

EntrySnapshot SnapshotOf(const struct stat& st) {
  return EntrySnapshot{FileId{st.st_dev, st.st_ino}, 0, MTimeNsOf(st), true};
}

std::string_view LastComponent(std::string_view path) {
  return path.substr(path.rfind('/') + 1);
}

// ---- Collection ------------------------------------------------------------------------------

// What collection knows across scan folders: every folder already collected, by identity, the
// scan folders collected so far with the path they were collected under, and the records on
// the way to each scan folder.
struct Collection {
  Collection(FolderTable& table, StageSkips& skips) : Table(table), Skips(skips) {}

  uint32_t NewRecord(uint32_t parent, std::string_view name) {
    Table.Records.push_back(FolderRecord{parent, std::string(name), {}, {}, false, false, false});
    return static_cast<uint32_t>(Table.Records.size() - 1);
  }

  // The record of a normalized scan folder, made with the records on its way when missing.
  uint32_t ScanFolderRecord(const std::string& path) {
    uint32_t node = 0;
    size_t pos = 1;
    while (pos < path.size()) {
      const size_t end = std::min(path.find('/', pos), path.size());
      const std::string name = path.substr(pos, end - pos);
      pos = end + 1;
      if (name.empty()) continue;
      const auto [found, added] = Chain.try_emplace({node, name}, 0);
      if (added) found->second = NewRecord(node, name);
      node = found->second;
    }
    if (Table.Records[node].Collected) {
      // The same path collected before as another folder (it was replaced in between).
      const FolderRecord& old = Table.Records[node];
      node = NewRecord(old.Parent, std::string(old.Name));
      Chain[{Table.Records[node].Parent, Table.Records[node].Name}] = node;
    }
    return node;
  }

  // An earlier scan folder turned up again as a real folder below the scan folder being walked
  // (it was given as a link, or through one): it moves below the folder walked here, so that
  // its parent finds it, and keeps its path only when that is where it was. It is collected
  // once either way.
  void Absorb(FileId id, const std::string& walkedPath, uint32_t parent) {
    const auto root = ScanRoots.find(id);
    if (root == ScanRoots.end()) return;
    const uint32_t index = root->second.second;
    for (uint32_t up = parent; up != kNone; up = Table.Records[up].Parent) {
      if (up == index) return;  // it would hold itself
    }
    FolderRecord& dir = Table.Records[index];
    dir.Parent = parent;
    dir.Name = std::string(LastComponent(walkedPath));
    if (root->second.first == walkedPath) return;
    dir.ScanFolder = false;
    for (auto it = Chain.begin(); it != Chain.end(); ++it) {
      if (it->second == index) {
        Chain.erase(it);
        break;
      }
    }
    ScanRoots.erase(root);
  }

  FolderTable& Table;
  StageSkips& Skips;
  FileIdSet Seen;
  std::unordered_map<FileId, std::pair<std::string, uint32_t>, FileIdHash> ScanRoots;
  std::map<std::pair<uint32_t, std::string>, uint32_t> Chain;
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
      RootIndex = FCollection.ScanFolderRecord(path);
      FolderRecord& root = FCollection.Table.Records[RootIndex];
      root.ScanFolder = true;
      Collect(RootIndex, st, false);
      FOpen.push_back({RootIndex, path.size()});
      RootCollected = true;
      return WalkStep::Continue;
    }
    const uint32_t parent = ParentOf(path);
    if (!FCollection.Seen.insert(id).second) {
      FCollection.Absorb(id, path, parent);
      return WalkStep::Skip;
    }
    const uint32_t index = FCollection.NewRecord(parent, LastComponent(path));
    Collect(index, st, false);
    FOpen.push_back({index, path.size()});
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
    if (!FCollection.Seen.insert(FileId{st.st_dev, st.st_ino}).second) return;
    Collect(FCollection.NewRecord(ParentOf(path), name), st, true);
  }

  void FolderLost(const std::string& path) override {
    FCollection.Skips.Add(SkipKind::Vanished, path, 0);
    for (auto it = FOpen.rbegin(); it != FOpen.rend(); ++it) {
      if (it->second == path.size()) {
        FCollection.Table.Records[it->first].Incomplete = true;
        break;
      }
    }
  }

  FileId RootId;
  uint32_t RootIndex = kNone;
  bool RootCollected = false;

 private:
  // The walk goes depth first, so the parent of a folder is the deepest folder entered whose
  // path is as long as the part of this path before its last '/'.
  uint32_t ParentOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    const size_t parentLength = slash == 0 ? 1 : slash;
    while (FOpen.size() > 1 && FOpen.back().second > parentLength)
      FOpen.pop_back();
    return FOpen.back().first;
  }

  void Collect(uint32_t index, const struct stat& st, bool incomplete) {
    FolderRecord& dir = FCollection.Table.Records[index];
    dir.Collected = true;
    dir.Seen = SnapshotOf(st);
    dir.Incomplete = incomplete;
    ++FCollection.Table.CollectedCount;
  }

  Collection& FCollection;
  ScanReporter& FReporter;
  bool FRoot = true;
  std::vector<std::pair<uint32_t, size_t>> FOpen;  // folders entered, with their path lengths
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
  // inside it) never moves it.
  if (collector.RootCollected)
    collection.ScanRoots.emplace(collector.RootId, std::make_pair(root, collector.RootIndex));
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
  return !reporter.IsStopRequested() && table.CollectedCount > 0;
}

// ---- Layout ----------------------------------------------------------------------------------

// A counter that says when to look at the stop flag again.
class FolderStopPoll final {
 public:
  explicit FolderStopPoll(ScanReporter& reporter) : FReporter(reporter) {}
  bool Stopped() {
    if (++FSteps % kStopPollEvery != 0) return false;
    return FReporter.IsStopRequested();
  }

 private:
  ScanReporter& FReporter;
  size_t FSteps = 0;
};

void LayOutChildren(FolderTable& table) {
  const size_t count = table.Records.size();
  table.ChildStart.assign(count + 1, 0);
  for (const FolderRecord& dir : table.Records) {
    if (dir.Parent != kNone) ++table.ChildStart[dir.Parent + 1];
  }
  for (size_t i = 1; i <= count; ++i)
    table.ChildStart[i] += table.ChildStart[i - 1];
  table.Children.assign(count, 0);
  std::vector<uint32_t> fill(table.ChildStart.begin(), table.ChildStart.end() - 1);
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t parent = table.Records[i].Parent;
    if (parent != kNone) table.Children[fill[parent]++] = i;
  }
}

// False on a stop.
bool WalkInPreOrder(FolderTable& table, FolderStopPoll& poll) {
  const size_t count = table.Records.size();
  table.Pre.assign(count, 0);
  table.Post.assign(count, 0);
  table.Order.clear();
  table.Order.reserve(count);
  table.PathLength.assign(count, 1);
  std::vector<std::pair<uint32_t, uint32_t>> stack;  // a record and its next child
  table.Pre[0] = 0;
  table.Order.push_back(0);
  stack.emplace_back(0, table.ChildStart[0]);
  while (!stack.empty()) {
    if (poll.Stopped()) return false;
    auto& [index, next] = stack.back();
    if (next == table.ChildStart[index + 1]) {
      table.Post[index] = static_cast<uint32_t>(table.Order.size() - 1);
      stack.pop_back();
      continue;
    }
    const uint32_t child = table.Children[next++];
    const uint32_t parent = index;
    table.Pre[child] = static_cast<uint32_t>(table.Order.size());
    table.Order.push_back(child);
    table.PathLength[child] =
        (parent == 0 ? 0 : table.PathLength[parent]) + 1 + table.Records[child].Name.size();
    stack.emplace_back(child, table.ChildStart[child]);
  }
  return true;
}

// Lays out what analysis and grouping look folders up by. False on a stop.
bool LayOutTree(FolderTable& table, ScanReporter& reporter) {
  FolderStopPoll poll(reporter);
  LayOutChildren(table);
  if (reporter.IsStopRequested() || !WalkInPreOrder(table, poll)) return false;
  std::vector<PathNode> nodes;
  nodes.reserve(table.Records.size());
  for (const FolderRecord& dir : table.Records)
    nodes.push_back(PathNode{dir.Parent, dir.Name});
  if (reporter.IsStopRequested()) return false;
  table.PathKey =
      PathOrderKeys(nodes, table.Order, [&reporter] { return reporter.IsStopRequested(); });
  if (reporter.IsStopRequested()) return false;
  table.CollectedChild.reserve(table.CollectedCount);
  for (uint32_t i = 0; i < table.Records.size(); ++i) {
    if (poll.Stopped()) return false;
    const FolderRecord& dir = table.Records[i];
    if (dir.Collected && dir.Parent != kNone)
      table.CollectedChild.emplace(ChildKey{dir.Parent, dir.Name}, i);
  }
  return !reporter.IsStopRequested();
}

// ---- Analysis --------------------------------------------------------------------------------

// What analysis skipped, held back so that it reaches the summary in the order of folders
// that the summary has always shown: deeper paths first, then in path order.
class AnalysisSkips final {
 public:
  AnalysisSkips(const FolderTable& table, StageSkips& skips) : FTable(table), FSkips(skips) {}

  void Add(uint32_t folder, SkipKind kind, std::string path, int error) {
    FPending.push_back(Pending{folder, FPending.size(), kind, std::move(path), error});
  }

  void Flush() {
    std::sort(FPending.begin(), FPending.end(), [this](const Pending& a, const Pending& b) {
      const size_t la = FTable.PathLength[a.Folder];
      const size_t lb = FTable.PathLength[b.Folder];
      if (la != lb) return la > lb;
      if (a.Folder != b.Folder) return FTable.PathKey[a.Folder] < FTable.PathKey[b.Folder];
      return a.Seq < b.Seq;
    });
    for (const Pending& skip : FPending)
      FSkips.Add(skip.Kind, skip.Path, skip.Error);
    FPending.clear();
  }

 private:
  struct Pending {
    uint32_t Folder;
    size_t Seq;
    SkipKind Kind;
    std::string Path;
    int Error;
  };
  const FolderTable& FTable;
  StageSkips& FSkips;
  std::vector<Pending> FPending;
};

// Signs one folder from a single listing of it, which gives both its files and its subfolders.
class FolderSigner final {
 public:
  FolderSigner(FolderTable& table, AnalysisSkips& skips, ScanReporter& reporter)
      : FTable(table), FSkips(skips), FReporter(reporter) {}

  // Fills the record's signature and the folder's total size, from the folder open at `fd`
  // (or the errno that opening it gave). False on a stop.
  bool Sign(uint32_t index, int fd, int openError) {
    FText.Clear();
    FTotal = 0;
    FolderRecord& dir = FTable.Records[index];
    if (fd < 0) {
      Unreadable(index, openError);
    } else if (!FListing.Read(fd)) {
      Unreadable(index, errno);
    } else {
      FolderListing::Entry entry{};
      while (FListing.Next(entry)) {
        if (FReporter.IsStopRequested()) return false;
        AddEntry(fd, entry, index);
      }
    }
    dir.Signature = SignatureOfText(FText.Text());
    dir.Seen.Size = FTotal;
    return true;
  }

 private:
  // The folder could not be listed (it vanished, or cannot be read): neither its files nor its
  // subfolders are known.
  void Unreadable(uint32_t index, int error) {
    FSkips.Add(index, SkipKindOfError(error, true), PathOf(FTable, index), error);
    FTable.Records[index].Incomplete = true;
    FText.Clear();
    FText.AddFilesAccessError();
    FText.AddDirsAccessError();
    FTotal = 0;
  }

  void AddEntry(int dirFd, const FolderListing::Entry& entry, uint32_t index) {
    struct stat st {};
    const bool folder = entry.Type == DT_DIR;
    bool queried = false;
    if (entry.Type == DT_UNKNOWN || !folder) {
      queried = ::fstatat(dirFd, entry.Name, &st, AT_SYMLINK_NOFOLLOW) == 0;
      if (!queried) {
        // Its size, or even its kind, is unknown: it counts with size 0, and the tree is not
        // known whole.
        const int error = errno;
        FSkips.Add(index, SkipKindOfError(error, false), ChildPathOf(FTable, index, entry.Name),
                   error);
        FTable.Records[index].Incomplete = true;
      }
    }
    if (folder || (queried && entry.Type == DT_UNKNOWN && S_ISDIR(st.st_mode))) {
      AddFolder(entry.Name, index);
      return;
    }
    const int64_t size = !queried || S_ISLNK(st.st_mode) ? 0 : static_cast<int64_t>(st.st_size);
    FText.AddFile(entry.Name, size);
    FTotal += size;
  }

  void AddFolder(const char* name, uint32_t index) {
    FolderRecord& dir = FTable.Records[index];
    const auto child = FTable.CollectedChild.find(ChildKey{index, name});
    if (child == FTable.CollectedChild.end()) {
      // Never collected (it appeared after collection): nothing is known of its tree.
      dir.Incomplete = true;
      FText.AddFolder(name, std::string_view(), 0);
      return;
    }
    const FolderRecord& sub = FTable.Records[child->second];
    dir.Incomplete = dir.Incomplete || sub.Incomplete;
    FText.AddFolder(name, sub.Signature, sub.Seen.Size);
    FTotal += sub.Seen.Size;
  }

  FolderTable& FTable;
  AnalysisSkips& FSkips;
  ScanReporter& FReporter;
  FolderListing FListing;
  SignatureTextBuilder FText;
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

// Signs every collected folder after the folders below it, each opened relative to its
// parent, in one walk over the collected tree that keeps a bounded number of folders open.
class TreeSigner final {
 public:
  TreeSigner(FolderTable& table, AnalysisSkips& skips, ScanReporter& reporter)
      : FTable(table), FReporter(reporter), FSigner(table, skips, reporter) {}

  // False on a stop.
  bool Run() {
    FCount = FTable.CollectedCount;
    for (const uint32_t index : FTable.Order) {
      const FolderRecord& dir = FTable.Records[index];
      const bool top = dir.Parent == kNone || !FTable.Records[dir.Parent].Collected;
      if (dir.Collected && top && !SignTree(index)) return false;
    }
    return true;
  }

 private:
  struct Frame {
    uint32_t Index = kNone;
    UniqueFd Fd;
    int Error = 0;
    uint32_t NextChild = 0;
  };

  int FlagsOf(uint32_t index) const {
    return kOpenDirFlags | (FTable.Records[index].ScanFolder ? 0 : O_NOFOLLOW);
  }

  bool SignTree(uint32_t root) {
    Push(root, UniqueFd(OpenLongPath(PathOf(FTable, root), FlagsOf(root))));
    while (FDepth > 0) {
      if (FReporter.IsStopRequested()) return false;
      Frame& top = FFrames[FDepth - 1];
      const uint32_t child = NextCollectedChild(top);
      if (child != kNone) {
        Push(child, OpenChild(top, child));
        continue;
      }
      if (!SignFrame(top)) return false;
      Pop();
    }
    return true;
  }

  uint32_t NextCollectedChild(Frame& frame) const {
    const uint32_t end = FTable.ChildStart[frame.Index + 1];
    while (frame.NextChild < end) {
      const uint32_t child = FTable.Children[frame.NextChild++];
      if (FTable.Records[child].Collected) return child;
    }
    return kNone;
  }

  // Relative to the parent while it is open; by the whole path when it could not be opened,
  // so that a folder below one that cannot be read is still reached where it can be.
  UniqueFd OpenChild(const Frame& parent, uint32_t child) const {
    if (parent.Fd.IsOpen()) {
      return UniqueFd(
          ::openat(parent.Fd.get(), FTable.Records[child].Name.c_str(), FlagsOf(child)));
    }
    return UniqueFd(OpenLongPath(PathOf(FTable, child), FlagsOf(child)));
  }

  void Push(uint32_t index, UniqueFd fd) {
    const int error = fd.IsOpen() ? 0 : errno;
    if (FDepth == FFrames.size()) FFrames.emplace_back();
    Frame& frame = FFrames[FDepth++];
    frame.Index = index;
    frame.Fd = std::move(fd);
    frame.Error = error;
    frame.NextChild = FTable.ChildStart[index];
    if (FDepth - FFirstOpen > kMaxOpenFolders) FFrames[FFirstOpen++].Fd.Reset();
  }

  void Pop() {
    Frame& done = FFrames[--FDepth];
    if (FDepth > 0 && FDepth == FFirstOpen) {
      FFirstOpen = FDepth - 1;
      Reopen(FFrames[FDepth - 1], done.Fd);
    }
    done.Fd.Reset();
  }

  // A folder closed to save descriptors: through the child's "..", when that leads to the same
  // folder, else by its path.
  void Reopen(Frame& frame, const UniqueFd& child) const {
    if (frame.Error != 0) return;
    const FolderRecord& dir = FTable.Records[frame.Index];
    if (child.IsOpen()) {
      UniqueFd up(::openat(child.get(), "..", kOpenDirFlags));
      struct stat st {};
      if (up.IsOpen() && ::fstat(up.get(), &st) == 0 &&
          FileId{st.st_dev, st.st_ino} == dir.Seen.Id) {
        frame.Fd = std::move(up);
        return;
      }
    }
    frame.Fd.Reset(OpenLongPath(PathOf(FTable, frame.Index), FlagsOf(frame.Index)));
    if (!frame.Fd.IsOpen()) frame.Error = errno;
  }

  bool SignFrame(Frame& frame) {
    if (!FSigner.Sign(frame.Index, frame.Fd.get(), frame.Error)) return false;
    const FolderRecord& dir = FTable.Records[frame.Index];
    // Only folders read whole can be clones of anything.
    if (!dir.Incomplete) FTable.SignatureGroups[dir.Signature].push_back(frame.Index);
    ++FDone;
    FReporter.SetProgressPosition(ProgressValue(FDone));
    if (FDone % 10 == 0 || FDone == FCount) ReportAnalysis(FReporter, FDone, FCount);
    return true;
  }

  FolderTable& FTable;
  ScanReporter& FReporter;
  FolderSigner FSigner;
  std::vector<Frame> FFrames;  // kept beyond FDepth, so that they are reused
  size_t FDepth = 0;
  size_t FFirstOpen = 0;  // frames below this index have been closed
  size_t FDone = 0;
  size_t FCount = 0;
};

// Signs every folder, those below first. Returns false when the run ends here without listing.
bool AnalyzeFolders(FolderTable& table, StageSkips& skips, ScanReporter& reporter) {
  if (!LayOutTree(table, reporter)) return false;
  const size_t count = table.CollectedCount;
  reporter.SetProgressRange(0, ProgressValue(count));
  reporter.SetProgressPosition(0);
  ReportAnalysis(reporter, 0, count);
  AnalysisSkips analysisSkips(table, skips);
  const bool signedAll = TreeSigner(table, analysisSkips, reporter).Run();
  analysisSkips.Flush();  // a stop keeps what was skipped so far, as it always did
  return signedAll && !reporter.IsStopRequested();
}

size_t CountIncomplete(const FolderTable& table) {
  return static_cast<size_t>(
      std::count_if(table.Records.begin(), table.Records.end(),
                    [](const FolderRecord& dir) { return dir.Collected && dir.Incomplete; }));
}

// ---- Groups ----------------------------------------------------------------------------------

// One group of folder clones: its kept members in path order and the bytes all of them take.
struct DirGroup {
  std::vector<uint32_t> Members;
  int64_t TotalSize = 0;
};

// Keeps the members of one candidate group that do not lie below another member.
DirGroup KeepTopMembers(const FolderTable& table, std::vector<uint32_t> members) {
  std::sort(members.begin(), members.end(),
            [&table](uint32_t a, uint32_t b) { return table.Pre[a] < table.Pre[b]; });
  DirGroup group;
  for (const uint32_t member : members) {
    // In pre-order a member below a kept one comes after it, before any other kept one.
    if (!group.Members.empty() && IsInside(table, member, group.Members.back())) continue;
    group.Members.push_back(member);
    group.TotalSize += table.Records[member].Seen.Size;
  }
  std::sort(group.Members.begin(), group.Members.end(),
            [&table](uint32_t a, uint32_t b) { return table.PathKey[a] < table.PathKey[b]; });
  return group;
}

// Which groups lie inside another: every member of the group inside a member of one other
// group. A group can only lie inside groups listed before it (the other group's total is at
// least its own, and its first member comes first in path order).
class NestedGroups final {
 public:
  NestedGroups(const FolderTable& table, const std::vector<DirGroup>& groups)
      : FTable(table), FGroups(groups) {}

  // Marks in `nested` the groups that lie inside another. False on a stop.
  bool Find(ScanReporter& reporter, std::vector<bool>& nested) {
    FolderStopPoll poll(reporter);
    MarkMembers();
    if (!LinkMembersUp(poll)) return false;
    nested.assign(FGroups.size(), false);
    for (size_t g = 0; g < FGroups.size(); ++g) {
      if (poll.Stopped()) return false;
      nested[g] = LiesInsideAnother(g, poll);
    }
    return !reporter.IsStopRequested();
  }

 private:
  void MarkMembers() {
    FGroupOf.assign(FTable.Records.size(), kNone);
    FByPlace.resize(FGroups.size());
    for (size_t g = 0; g < FGroups.size(); ++g) {
      for (const uint32_t member : FGroups[g].Members)
        FGroupOf[member] = static_cast<uint32_t>(g);
      FByPlace[g] = FGroups[g].Members;
      std::sort(FByPlace[g].begin(), FByPlace[g].end(),
                [this](uint32_t a, uint32_t b) { return FTable.Pre[a] < FTable.Pre[b]; });
    }
  }

  // For every folder the nearest member of a group above it, and how many there are.
  bool LinkMembersUp(FolderStopPoll& poll) {
    FUp.assign(FTable.Records.size(), kNone);
    FAbove.assign(FTable.Records.size(), 0);
    for (const uint32_t index : FTable.Order) {
      if (poll.Stopped()) return false;
      const uint32_t parent = FTable.Records[index].Parent;
      if (parent == kNone) continue;
      const bool member = FGroupOf[parent] != kNone;
      FUp[index] = member ? parent : FUp[parent];
      FAbove[index] = FAbove[parent] + (member ? 1 : 0);
    }
    return true;
  }

  bool LiesInsideAnother(size_t g, FolderStopPoll& poll) const {
    const std::vector<uint32_t>& members = FGroups[g].Members;
    // The other group holds a member above every member, so above the one with the fewest.
    const uint32_t lowest =
        *std::min_element(members.begin(), members.end(),
                          [this](uint32_t a, uint32_t b) { return FAbove[a] < FAbove[b]; });
    for (uint32_t up = FUp[lowest]; up != kNone; up = FUp[up]) {
      if (poll.Stopped()) return false;
      if (AllInside(members, FGroupOf[up])) return true;
    }
    return false;
  }

  bool AllInside(const std::vector<uint32_t>& members, uint32_t other) const {
    const std::vector<uint32_t>& outer = FByPlace[other];
    for (const uint32_t member : members) {
      const uint32_t place = FTable.Pre[member];
      auto it = std::upper_bound(outer.begin(), outer.end(), place,
                                 [this](uint32_t p, uint32_t o) { return p < FTable.Pre[o]; });
      if (it == outer.begin() || !IsInside(FTable, member, *(it - 1))) return false;
    }
    return true;
  }

  const FolderTable& FTable;
  const std::vector<DirGroup>& FGroups;
  std::vector<uint32_t> FGroupOf;
  std::vector<std::vector<uint32_t>> FByPlace;  // each group's members in pre-order
  std::vector<uint32_t> FUp;
  std::vector<uint32_t> FAbove;
};

// Drops the groups that lie inside another. False on a stop.
bool CollapseNested(const FolderTable& table, std::vector<DirGroup>& groups,
                    ScanReporter& reporter) {
  std::vector<bool> nested;
  if (!NestedGroups(table, groups).Find(reporter, nested)) return false;
  size_t kept = 0;
  for (size_t g = 0; g < groups.size(); ++g) {
    if (nested[g]) continue;
    if (kept != g) groups[kept] = std::move(groups[g]);
    ++kept;
  }
  groups.resize(kept);
  return true;
}

std::vector<DirGroup> FormGroups(const FolderTable& table, ScanSummary& summary,
                                 ScanReporter& reporter) {
  reporter.ReportStatus("Grouping duplicate directories...");
  reporter.PumpEvents();
  const ScanSettings settings = reporter.CurrentSettings();
  const size_t minGroupSize = static_cast<size_t>(std::max(settings.MinGroupSize, 2));

  std::vector<DirGroup> groups;
  for (const auto& [signature, members] : table.SignatureGroups) {
    if (reporter.IsStopRequested()) break;
    if (members.size() < minGroupSize) continue;
    DirGroup group = KeepTopMembers(table, members);
    if (group.Members.size() >= minGroupSize) groups.push_back(std::move(group));
  }
  if (reporter.IsStopRequested()) return groups;
  // Largest first; equal totals by their first member, so that every run lists the same way.
  std::sort(groups.begin(), groups.end(), [&table](const DirGroup& a, const DirGroup& b) {
    if (a.TotalSize != b.TotalSize) return a.TotalSize > b.TotalSize;
    return table.PathKey[a.Members.front()] < table.PathKey[b.Members.front()];
  });
  if (settings.CollapseNestedDirGroups && !CollapseNested(table, groups, reporter)) return groups;
  if (settings.MaxGroups > 0 && static_cast<size_t>(settings.MaxGroups) < groups.size()) {
    summary.DirGroupsCut = groups.size() - static_cast<size_t>(settings.MaxGroups);
    groups.resize(static_cast<size_t>(settings.MaxGroups));
  }
  return groups;
}

// ---- Listing ---------------------------------------------------------------------------------

// The rows of one group, with what the scan saw of each folder, so that a later delete can
// compare it with the disk. Only listed folders ever get their whole path built. Empty when a
// stop came first: a group is listed whole or not at all.
std::vector<DirRowFacts> RowsOf(const FolderTable& table, const DirGroup& group,
                                ScanReporter& reporter) {
  FolderStopPoll poll(reporter);
  std::vector<DirRowFacts> rows;
  rows.reserve(group.Members.size());
  for (const uint32_t member : group.Members) {
    if (poll.Stopped()) return {};
    const FolderRecord& dir = table.Records[member];
    rows.push_back(
        DirRowFacts{PathOf(table, member), dir.Seen.Size, FolderSnapshot{dir.Seen, dir.Signature}});
  }
  return rows;
}

void ListGroups(ResultList& lvDirs, const std::vector<DirGroup>& groups, const FolderTable& table,
                ScanReporter& reporter) {
  const size_t count = groups.size();
  reporter.SetProgressPosition(0);
  reporter.SetProgressRange(0, count == 0 ? 1 : ProgressValue(count));
  reporter.ReportStatus("Listing directory groups...");
  reporter.PumpEvents();

  const ListUpdateGuard update(lvDirs);
  int groupNo = 1;
  size_t listed = 0;
  for (const DirGroup& group : groups) {
    if (reporter.IsStopRequested()) break;
    std::vector<DirRowFacts> rows = RowsOf(table, group, reporter);
    if (rows.empty()) break;  // stopped
    AddDirGroupToList(lvDirs, std::move(rows), group.TotalSize, groupNo);
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
  const std::vector<DirGroup> groups = FormGroups(table, state.Summary, reporter);
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
