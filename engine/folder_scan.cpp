#include "engine/folder_scan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "engine/file_id_set.h"
#include "engine/file_mask.h"
#include "engine/paths.h"
#include "engine/scan_settings.h"
#include "engine/tree_walker.h"
#include "platform/posix/long_path.h"

namespace parvolane {

namespace {

// One mask of a walk and what it found. A mask that fails (a malformed set) finds nothing,
// as if it had had a walk of its own that failed.
struct MaskSlot {
  FileMask Mask;
  bool Failed = false;
  TFileList Found;
};

// One walk of one folder tree for every mask at once: each mask's list holds its files in walk
// order, exactly as a walk of its own would.
class MaskWalk final : public WalkVisitor {
 public:
  MaskWalk(std::vector<MaskSlot>& slots, const WalkControl& control)
      : FSlots(slots), FControl(control) {}

  bool StopRequested() override { return FControl.StopRequested && FControl.StopRequested(); }

  // A folder reached again through a link is not walked twice, so link cycles end.
  WalkStep EnterFolder(const std::string&, const struct stat& st) override {
    return FVisited.insert(FileId{st.st_dev, st.st_ino}) ? WalkStep::Continue : WalkStep::Skip;
  }

  WalkStep VisitFile(int dirFd, const char* name, const std::string& path,
                     const struct stat* known) override {
    // One size query, made for the first mask that matches; the other masks get copies. The
    // walk makes the scan's records itself, so that no path is built or copied twice.
    const TFileInfo* first = nullptr;
    for (MaskSlot& slot : FSlots) {
      if (!Matches(slot, name)) continue;
      slot.Found.push_back(first == nullptr ? MakeRecord(dirFd, name, path, known)
                                            : std::make_unique<TFileInfo>(*first));
      first = slot.Found.back().get();
    }
    return WalkStep::Continue;
  }

  void FolderFailed(int, const char*, const std::string& path, int error) override {
    Skip(SkipKindOfError(error, true), path, error);
  }
  void FolderLost(const std::string& path) override { Skip(SkipKind::Vanished, path, 0); }

 private:
  static bool Matches(MaskSlot& slot, const char* name) {
    if (slot.Failed) return false;
    try {
      return slot.Mask.Matches(std::string_view(name));
    } catch (const std::invalid_argument&) {
      slot.Failed = true;
      slot.Found.clear();
      return false;
    }
  }

  // statx costs what fstatat costs and also tells the birth time, which the hash cache keys
  // on. Where the walk has queried the entry already (no type in the listing), that query is
  // used and the birth time stays unknown.
  std::unique_ptr<TFileInfo> MakeRecord(int dirFd, const char* name, const std::string& path,
                                        const struct stat* known) {
    if (known != nullptr) return RecordOf(path, *known);
    struct statx sx {};
    if (::statx(dirFd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_BASIC_STATS | STATX_BTIME,
                &sx) != 0) {
      const int error = errno;
      Skip(SkipKindOfError(error, false), path, error);
      return std::make_unique<TFileInfo>(path, -1);  // the query failed
    }
    auto record = std::make_unique<TFileInfo>(
        path, S_ISLNK(sx.stx_mode) ? 0 : static_cast<int64_t>(sx.stx_size));
    record->Id = FileId{makedev(sx.stx_dev_major, sx.stx_dev_minor), sx.stx_ino};
    record->MTimeNs = NsOf(sx.stx_mtime);
    record->CTimeNs = NsOf(sx.stx_ctime);
    if ((sx.stx_mask & STATX_BTIME) != 0) record->BirthNs = NsOf(sx.stx_btime);
    return record;
  }

  static std::unique_ptr<TFileInfo> RecordOf(const std::string& path, const struct stat& entry) {
    auto record = std::make_unique<TFileInfo>(
        path, S_ISLNK(entry.st_mode) ? 0 : static_cast<int64_t>(entry.st_size));
    record->Id = FileId{entry.st_dev, entry.st_ino};
    record->MTimeNs = MTimeNsOf(entry);
    record->CTimeNs = CTimeNsOf(entry);
    return record;
  }

  static int64_t NsOf(const statx_timestamp& t) { return t.tv_sec * 1000000000LL + t.tv_nsec; }

  void Skip(SkipKind kind, const std::string& path, int error) {
    if (FControl.Skipped != nullptr) FControl.Skipped->Add(kind, path, error);
  }

  std::vector<MaskSlot>& FSlots;
  const WalkControl& FControl;
  FileIdSet FVisited;
};

std::string WalkLine(const std::string& folder, const std::string& mask) {
  return "Scanning folder list: " + folder + "   [" + mask + "]";
}

// A scan folder that is missing or no folder is passed over, and named in the summary.
bool IsScannableFolder(const std::string& folder, ScanSummary& summary) {
  struct stat st {};
  const bool found = StatLongPath(folder, st, true);
  if (found && S_ISDIR(st.st_mode)) return true;
  summary.FolderErrors.push_back("cannot scan '" + folder +
                                 "': " + std::strerror(found ? ENOTDIR : errno));
  return false;
}

// The records of every mask's list, made by one walk (see WalkFolderWithMasks).
std::vector<TFileList> WalkRecords(const std::string& folder, const std::vector<std::string>& masks,
                                   const WalkControl& control) {
  if (folder.empty()) throw std::invalid_argument("Not a folder: ''");
  std::vector<MaskSlot> slots;
  slots.reserve(masks.size());
  for (const std::string& mask : masks) {
    slots.push_back(MaskSlot{FileMask(mask), !IsValidMask(mask), {}});
  }
  MaskWalk walk(slots, control);
  WalkTree(folder, WalkOptions{.FollowFolderLinks = true}, walk);
  std::vector<TFileList> found;
  found.reserve(slots.size());
  for (MaskSlot& slot : slots)
    found.push_back(std::move(slot.Found));
  return found;
}

}  // namespace

std::vector<std::vector<FoundFile>> WalkFolderWithMasks(const std::string& folder,
                                                        const std::vector<std::string>& masks,
                                                        const WalkControl& control) {
  std::vector<std::vector<FoundFile>> lists;
  for (TFileList& records : WalkRecords(folder, masks, control)) {
    std::vector<FoundFile>& list = lists.emplace_back();
    list.reserve(records.size());
    for (const std::unique_ptr<TFileInfo>& r : records)
      list.push_back(FoundFile{r->FullPath, r->Size, r->Id, r->MTimeNs, r->CTimeNs});
  }
  return lists;
}

std::vector<FoundFile> WalkFolder(const std::string& folder, const std::string& mask) {
  if (!IsValidMask(mask)) throw std::invalid_argument("Invalid mask '" + mask + "'");
  FileMask(mask).Matches("");  // a malformed set is an error even in an empty tree
  return std::move(WalkFolderWithMasks(folder, {mask}).front());
}

void CollectFiles(ScanState& state, ScanReporter& reporter) {
  reporter.ReportStatus("Scanning folders...");
  reporter.PumpEvents();

  const ScanSettings settings = reporter.CurrentSettings();
  const std::vector<std::string> masks = ParseMasks(settings.MaskText);
  const int64_t minBytes = static_cast<int64_t>(settings.MinSizeMB) * 1048576;
  // A file reached twice (overlapping folders, two masks, a link to a folder, a hard link) is
  // one file: only its first record is kept, so it can never be offered as its own clone.
  FileIdSet collected;

  for (const std::string& folder : settings.Folders) {
    if (reporter.IsStopRequested()) break;
    if (!IsScannableFolder(folder, state.Summary)) continue;
    // One walk serves every mask: it is made when the first mask's turn comes, and each mask
    // then takes its own list, in the order and at the moments a walk per mask would.
    std::vector<TFileList> walked;
    for (size_t m = 0; m < masks.size(); ++m) {
      if (reporter.IsStopRequested()) break;
      reporter.ReportStatus(WalkLine(folder, masks[m]));
      reporter.SetBusy(true);
      if (m == 0) {
        const WalkControl control{[&reporter] { return reporter.IsStopRequested(); },
                                  &state.Summary.Skipped};
        try {
          reporter.RunBlocking([&] { walked = WalkRecords(folder, masks, control); });
        } catch (const std::system_error& e) {
          walked.clear();  // the folder itself could not be read: it yields no files
          state.Summary.FolderErrors.emplace_back(e.what());
        }
      }
      TFileList found = m < walked.size() ? std::move(walked[m]) : TFileList();
      reporter.SetBusy(false);

      const size_t count = found.size();
      const auto total = static_cast<int32_t>(std::min<size_t>(count, INT32_MAX));
      reporter.SetProgressRange(0, count == 0 ? 1 : total);
      state.FFiles.reserve(state.FFiles.size() + count);
      state.FFileMap.reserve(state.FFileMap.size() + count);
      collected.reserve(collected.size() + count);
      for (size_t i = 0; i < count; ++i) {
        if (reporter.IsStopRequested()) break;
        std::unique_ptr<TFileInfo>& record = found[i];
        if (minBytes > 0 && record->Size < minBytes) continue;
        if (record->Size == 0) continue;
        if (record->Size > 0 && !collected.insert(record->Id)) continue;
        // The path check catches what the identity cannot: a failed size query, or a file
        // replaced between two walks.
        if (!state.FFileMap.insert(record.get())) continue;
        state.FFiles.push_back(std::move(record));
        reporter.SetProgressPosition(static_cast<int32_t>(i + 1));
        if (i % 50 == 0 || i + 1 == count) {
          reporter.ReportStatus("Scanning: " + state.FFiles.back()->FullPath + " (" +
                                std::to_string(i + 1) + "/" + std::to_string(count) + ")");
          reporter.PumpEvents();
        }
      }
    }
  }

  reporter.SetProgressPosition(0);
  const std::string collectedCount = std::to_string(state.FFiles.size());
  if (reporter.IsStopRequested()) {
    reporter.ReportStatus("Scanning cancelled. " + collectedCount + " files collected so far.");
  } else {
    reporter.ReportStatus("Found " + collectedCount + " files (after filters).");
  }
}

}  // namespace parvolane
