#include "engine/folder_scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// One walk of one folder tree with one mask. The path buffer grows and shrinks as the walk
// descends and returns, so no path is built twice.
class TreeWalker final {
 public:
  TreeWalker(const FileMask& mask, std::vector<FoundFile>& out) : FMask(mask), FOut(out) {}

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
    if (!FMask.Matches(std::string_view(name))) return;
    FoundFile found;
    found.Path = path;
    struct stat st {};
    if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
      found.Size = S_ISLNK(st.st_mode) ? 0 : static_cast<int64_t>(st.st_size);
      found.Id = FileId{st.st_dev, st.st_ino};
    }
    FOut.push_back(std::move(found));
  }

  void Descend(int dirFd, const char* name, int extraFlags, std::string& path) {
    const int fd = ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | extraFlags);
    if (fd < 0) return;  // cannot be listed: contributes nothing
    WalkOpenFolder(fd, path);
  }

  const FileMask& FMask;
  std::vector<FoundFile>& FOut;
  std::unordered_set<FileId, FileIdHash> FVisited;
};

std::string WalkLine(const std::string& folder, const std::string& mask) {
  return "Scanning folder list: " + folder + "   [" + mask + "]";
}

}  // namespace

std::vector<FoundFile> WalkFolder(const std::string& folder, const std::string& mask) {
  if (folder.empty() || !IsExistingFolder(folder)) {
    throw std::invalid_argument("Not a folder: '" + folder + "'");
  }
  if (!IsValidMask(mask)) throw std::invalid_argument("Invalid mask '" + mask + "'");
  const FileMask fileMask(mask);
  std::vector<FoundFile> found;
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return found;
  std::string path = folder;
  TreeWalker(fileMask, found).WalkOpenFolder(fd, path);
  return found;
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
    for (const std::string& mask : masks) {
      if (reporter.IsStopRequested()) break;
      reporter.ReportStatus(WalkLine(folder, mask));
      reporter.SetBusy(true);
      std::vector<FoundFile> found;
      try {
        reporter.RunBlocking([&] { found = WalkFolder(folder, mask); });
      } catch (...) {
        found.clear();  // a failed walk yields no files
      }
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
