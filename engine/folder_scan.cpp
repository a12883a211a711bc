#include "engine/folder_scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <stdexcept>
#include <unordered_set>

#include "engine/file_id_set.h"
#include "engine/file_mask.h"
#include "engine/paths.h"
#include "engine/scan_settings.h"

namespace parvolane {

namespace {

class UniqueDir final {
 public:
  explicit UniqueDir(DIR* dir) : FDir(dir) {}
  UniqueDir(const UniqueDir&) = delete;
  UniqueDir& operator=(const UniqueDir&) = delete;
  ~UniqueDir() {
    if (FDir != nullptr) ::closedir(FDir);
  }
  DIR* get() const { return FDir; }

 private:
  DIR* FDir;
};

// One mask of a walk and what it found. A mask that fails (a malformed set) finds nothing,
// as if it had had a walk of its own that failed.
struct MaskSlot {
  FileMask Mask;
  bool Failed = false;
  std::vector<FoundFile> Found;
};

// One walk of one folder tree for every mask at once: each mask's list holds its files in walk
// order, exactly as a walk of its own would. The path buffer grows and shrinks as the walk
// descends and returns, so no path is built twice.
class TreeWalker final {
 public:
  explicit TreeWalker(std::vector<MaskSlot>& slots) : FSlots(slots) {}

  void WalkOpenFolder(int fd, std::string& path) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !FVisited.insert(FileId{st.st_dev, st.st_ino}).second) {
      ::close(fd);  // a folder reached again through a link is not walked twice
      return;
    }
    UniqueDir dir(::fdopendir(fd));
    if (dir.get() == nullptr) {
      ::close(fd);
      return;
    }
    if (path.empty() || path.back() != '/') path += '/';
    const size_t base = path.size();
    while (dirent* entry = ::readdir(dir.get())) {
      const char* name = entry->d_name;
      if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
      path.resize(base);
      path += name;
      VisitEntry(::dirfd(dir.get()), name, entry->d_type, path);
    }
    path.resize(base);
  }

 private:
  void VisitEntry(int dirFd, const char* name, unsigned char type, std::string& path) {
    if (type == DT_DIR) {
      Descend(dirFd, name, O_NOFOLLOW, path);
      return;
    }
    if (type == DT_LNK || type == DT_UNKNOWN) {
      struct stat target {};
      // Links to folders are walked like folders.
      if (::fstatat(dirFd, name, &target, 0) == 0 && S_ISDIR(target.st_mode)) {
        Descend(dirFd, name, 0, path);
        return;
      }
    }
    std::optional<FoundFile> found;  // one size query, made for the first mask that matches
    for (MaskSlot& slot : FSlots) {
      if (!Matches(slot, name)) continue;
      if (!found) found = QuerySize(dirFd, name, path);
      slot.Found.push_back(*found);
    }
  }

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

  static FoundFile QuerySize(int dirFd, const char* name, const std::string& path) {
    FoundFile found;
    found.Path = path;
    struct stat st {};
    if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
      found.Size = S_ISLNK(st.st_mode) ? 0 : static_cast<int64_t>(st.st_size);
      found.Id = FileId{st.st_dev, st.st_ino};
      found.MTimeNs = MTimeNsOf(st);
    }
    return found;
  }

  void Descend(int dirFd, const char* name, int extraFlags, std::string& path) {
    const int fd = ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | extraFlags);
    if (fd < 0) return;  // cannot be listed: contributes nothing
    WalkOpenFolder(fd, path);
  }

  std::vector<MaskSlot>& FSlots;
  std::unordered_set<FileId, FileIdHash> FVisited;
};

std::string WalkLine(const std::string& folder, const std::string& mask) {
  return "Scanning folder list: " + folder + "   [" + mask + "]";
}

}  // namespace

std::vector<std::vector<FoundFile>> WalkFolderWithMasks(const std::string& folder,
                                                        const std::vector<std::string>& masks) {
  if (folder.empty() || !IsExistingFolder(folder)) {
    throw std::invalid_argument("Not a folder: '" + folder + "'");
  }
  std::vector<MaskSlot> slots;
  slots.reserve(masks.size());
  for (const std::string& mask : masks) {
    slots.push_back(MaskSlot{FileMask(mask), !IsValidMask(mask), {}});
  }
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    std::string path = folder;
    TreeWalker(slots).WalkOpenFolder(fd, path);
  }
  std::vector<std::vector<FoundFile>> found;
  found.reserve(slots.size());
  for (MaskSlot& slot : slots)
    found.push_back(std::move(slot.Found));
  return found;
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
    if (!IsExistingFolder(folder)) continue;
    // One walk serves every mask: it is made when the first mask's turn comes, and each mask
    // then takes its own list, in the order and at the moments a walk per mask would.
    std::vector<std::vector<FoundFile>> walked;
    for (size_t m = 0; m < masks.size(); ++m) {
      if (reporter.IsStopRequested()) break;
      reporter.ReportStatus(WalkLine(folder, masks[m]));
      reporter.SetBusy(true);
      if (m == 0) {
        try {
          reporter.RunBlocking([&] { walked = WalkFolderWithMasks(folder, masks); });
        } catch (...) {
          walked.clear();  // a failed walk yields no files
        }
      }
      std::vector<FoundFile> found =
          m < walked.size() ? std::move(walked[m]) : std::vector<FoundFile>();
      reporter.SetBusy(false);

      const size_t count = found.size();
      const auto total = static_cast<int32_t>(std::min<size_t>(count, INT32_MAX));
      reporter.SetProgressRange(0, count == 0 ? 1 : total);
      state.FFiles.reserve(state.FFiles.size() + count);
      state.FFileMap.reserve(state.FFileMap.size() + count);
      collected.reserve(collected.size() + count);
      for (size_t i = 0; i < count; ++i) {
        if (reporter.IsStopRequested()) break;
        FoundFile& file = found[i];
        if (minBytes > 0 && file.Size < minBytes) continue;
        if (file.Size == 0) continue;
        if (file.Size > 0 && !collected.insert(file.Id)) continue;
        auto record = std::make_unique<TFileInfo>(std::move(file.Path), file.Size);
        record->Id = file.Id;
        record->MTimeNs = file.MTimeNs;
        // The path check catches what the identity cannot: a failed size query, or a file
        // replaced between two walks.
        if (!state.FFileMap.try_emplace(record->FullPath, record.get()).second) continue;
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
