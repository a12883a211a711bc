#include "platform/trash.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <string_view>
#include <unordered_set>

#include "platform/file_url.h"

namespace parvolane {

namespace {

constexpr mode_t kPrivateFolderMode = 0700;
constexpr std::string_view kInfoSuffix = ".trashinfo";
// An extension longer than this is more likely part of the name than a file type.
constexpr size_t kMaxExtension = 32;
// Gives up on a name after this many taken candidates rather than looping forever.
constexpr int kMaxNameAttempts = 100000;

/// Closes the descriptor on every way out; Close() reports the close's own error.
class UniqueFd final {
 public:
  explicit UniqueFd(int fd) : FFd(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() {
    if (FFd >= 0) ::close(FFd);
  }
  int Get() const { return FFd; }
  bool Close() {
    const int fd = FFd;
    FFd = -1;
    return ::close(fd) == 0;
  }

 private:
  int FFd;
};

/// The files/ and info/ folders of one trash and the device they live on.
struct TrashDir {
  std::string Files;
  std::string Info;
  dev_t Device = 0;
};

/// One path of a request, checked and assigned to its trash before anything moves.
struct TrashItem {
  std::string Canonical;  // the real folder (links resolved) + "/" + the entry's own name
  std::string Name;
  const TrashDir* Trash = nullptr;
  bool Carried = false;  // lies inside another item of the request and moves with it
};

bool IsWritableFolder(const std::string& path) {
  return ::access(path.c_str(), W_OK | X_OK) == 0;
}

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return home;
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::string buffer(size > 0 ? static_cast<size_t>(size) : 16384, '\0');
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr || found->pw_dir == nullptr)
    return {};
  return found->pw_dir;
}

std::string HomeTrashRoot() {
  // Relative values are invalid by the base-directory rules and are ignored.
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data != nullptr && data[0] == '/') return std::string(data) + "/Trash";
  const std::string home = HomeFolder();
  return home.empty() ? std::string() : home + "/.local/share/Trash";
}

/// mkdir -p: every missing folder on the way is created private to us.
bool MakeFolders(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string prefix = path.substr(0, slash);
    if (::mkdir(prefix.c_str(), kPrivateFolderMode) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) break;
  }
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

/// The trash's folders once they are usable: existing, writable and on one device.
std::optional<TrashDir> UsableTrash(const std::string& root) {
  TrashDir dir{root + "/files", root + "/info", 0};
  struct stat files {};
  struct stat info {};
  if (::stat(dir.Files.c_str(), &files) != 0 || ::stat(dir.Info.c_str(), &info) != 0 ||
      !S_ISDIR(files.st_mode) || !S_ISDIR(info.st_mode) || files.st_dev != info.st_dev ||
      !IsWritableFolder(dir.Files) || !IsWritableFolder(dir.Info))
    return std::nullopt;
  dir.Device = files.st_dev;
  return dir;
}

std::optional<TrashDir> HomeTrash() {
  const std::string root = HomeTrashRoot();
  if (root.empty() || !MakeFolders(root + "/files") || !MakeFolders(root + "/info"))
    return std::nullopt;
  return UsableTrash(root);
}

/// A folder on a shared volume that we may trust: created private when missing, never a link
/// and never one that someone else made for us.
bool EnsureOwnFolder(const std::string& path) {
  if (::mkdir(path.c_str(), kPrivateFolderMode) != 0 && errno != EEXIST) return false;
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid();
}

std::optional<TrashDir> OwnVolumeTrash(const std::string& root, dev_t device) {
  if (!EnsureOwnFolder(root) || !EnsureOwnFolder(root + "/files") ||
      !EnsureOwnFolder(root + "/info"))
    return std::nullopt;
  std::optional<TrashDir> dir = UsableTrash(root);
  if (!dir || dir->Device != device) return std::nullopt;
  return dir;
}

/// The mount point of the volume that holds `folder` (a real path): the highest ancestor on
/// the same device.
std::string TopFolderOf(const std::string& folder, dev_t device) {
  std::string top = folder;
  while (top != "/") {
    const size_t slash = top.rfind('/');
    const std::string up = slash == 0 ? "/" : top.substr(0, slash);
    struct stat st {};
    if (::stat(up.c_str(), &st) != 0 || st.st_dev != device) break;
    top = up;
  }
  return top;
}

std::optional<TrashDir> VolumeTrash(const std::string& folder, dev_t device) {
  const std::string top = TopFolderOf(folder, device);
  const std::string base = top == "/" ? std::string() : top;
  const std::string uid = std::to_string(::getuid());
  // The administrator's shared trash counts only when it is a real folder with the sticky
  // bit; otherwise another user could read or replace what we put there.
  const std::string shared = base + "/.Trash";
  struct stat st {};
  if (::lstat(shared.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) != 0) {
    if (auto dir = OwnVolumeTrash(shared + "/" + uid, device)) return dir;
  }
  return OwnVolumeTrash(base + "/.Trash-" + uid, device);
}

/// Finds (and creates on first use) the trash for each device of a request.
class TrashLocator final {
 public:
  const TrashDir* For(const std::string& realFolder, dev_t device) {
    if (!FHomeTried) {
      FHomeTried = true;
      FHome = HomeTrash();
    }
    if (FHome && FHome->Device == device) return &*FHome;
    auto [it, inserted] = FVolumes.try_emplace(device);
    if (inserted) it->second = VolumeTrash(realFolder, device);
    return it->second ? &*it->second : nullptr;
  }

 private:
  bool FHomeTried = false;
  std::optional<TrashDir> FHome;
  std::map<dev_t, std::optional<TrashDir>> FVolumes;  // nothing: the volume has no usable trash
};

std::string AbsoluteWithoutTrailingSlash(const std::string& path) {
  std::string out = path;
  if (!out.empty() && out.front() != '/') {
    std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0), &std::free);
    if (cwd == nullptr) return {};
    out = std::string(cwd.get()) + "/" + out;
  }
  while (out.size() > 1 && out.back() == '/')
    out.pop_back();
  return out;
}

std::optional<std::string> RealPath(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
  if (real == nullptr) return std::nullopt;
  return std::string(real.get());
}

std::optional<TrashItem> PrepareItem(const std::string& given, TrashLocator& locator) {
  const std::string path = AbsoluteWithoutTrailingSlash(given);
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return std::nullopt;
  std::string name = path.substr(slash + 1);
  struct stat entry {};
  if (name.empty() || name == "." || name == ".." || ::lstat(path.c_str(), &entry) != 0)
    return std::nullopt;
  // The entry itself may be a link (the link is what goes); the folders above it are resolved
  // so that the volume, the recorded location and nesting tests see the real place.
  const std::optional<std::string> folder = RealPath(slash == 0 ? "/" : path.substr(0, slash));
  struct stat st {};
  if (!folder || ::stat(folder->c_str(), &st) != 0 || !IsWritableFolder(*folder))
    return std::nullopt;
  const TrashDir* trash = locator.For(*folder, st.st_dev);
  if (trash == nullptr) return std::nullopt;
  std::string canonical = (*folder == "/" ? std::string() : *folder) + "/" + name;
  return TrashItem{std::move(canonical), std::move(name), trash};
}

/// Marks items that another item of the request already takes along: repeats, and paths
/// inside a folder that is moved too.
void MarkCarriedItems(std::vector<TrashItem>& items) {
  std::unordered_set<std::string_view> all;
  for (const TrashItem& item : items)
    all.insert(item.Canonical);
  std::unordered_set<std::string_view> taken;
  for (TrashItem& item : items) {
    const std::string_view path = item.Canonical;
    for (size_t slash = path.rfind('/'); slash != 0 && slash != std::string_view::npos;
         slash = path.rfind('/', slash - 1)) {
      if (all.count(path.substr(0, slash)) != 0) item.Carried = true;
    }
    if (!taken.insert(path).second) item.Carried = true;
  }
}

std::string DeletionDate() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  char text[32] = {};
  if (::localtime_r(&now, &local) == nullptr ||
      std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local) == 0)
    return "1970-01-01T00:00:00";
  return text;
}

/// The n-th name tried for an entry in files/: the name itself, then "stem (n).ext", cut so
/// that its .trashinfo name still fits in one directory entry.
std::string CandidateName(const std::string& name, int n) {
  size_t dot = name.rfind('.');
  if (dot == 0 || dot == std::string::npos || name.size() - dot > kMaxExtension) dot = name.size();
  std::string stem = name.substr(0, dot);
  const std::string extension = name.substr(dot);
  const std::string suffix = n == 1 ? std::string() : " (" + std::to_string(n) + ")";
  const size_t room = NAME_MAX - kInfoSuffix.size() - suffix.size() - extension.size();
  if (stem.size() > room) stem.resize(room);
  return stem + suffix + extension;
}

bool WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    text.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

/// Creates the info record under a name nobody holds yet; false when the name is taken.
/// `failed` tells a real error from a taken name.
bool CreateInfoFile(const std::string& infoPath, const std::string& text, bool& failed) {
  UniqueFd fd(::open(infoPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  failed = fd.Get() < 0 && errno != EEXIST;
  if (fd.Get() < 0) return false;
  if (WriteAll(fd.Get(), text) && fd.Close()) return true;
  ::unlink(infoPath.c_str());
  failed = true;
  return false;
}

/// rename(2) that never replaces an existing entry, so nothing in the trash is ever lost.
bool RenameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // Some file systems cannot promise not to replace. The name was free a moment ago and our
  // info record reserves it, so a plain rename after one more look is the next best thing.
  struct stat st {};
  if (::lstat(to.c_str(), &st) == 0) {
    errno = EEXIST;
    return false;
  }
  return ::rename(from.c_str(), to.c_str()) == 0;
}

bool MoveItem(const TrashItem& item, const std::string& deletionDate) {
  const std::string info = "[Trash Info]\nPath=" + PercentEncodePath(item.Canonical) +
                           "\nDeletionDate=" + deletionDate + "\n";
  const TrashDir& trash = *item.Trash;
  for (int n = 1; n <= kMaxNameAttempts; ++n) {
    const std::string name = CandidateName(item.Name, n);
    const std::string target = trash.Files + "/" + name;
    const std::string infoPath = trash.Info + "/" + name + std::string(kInfoSuffix);
    struct stat st {};
    if (::lstat(target.c_str(), &st) == 0) continue;
    bool failed = false;
    if (!CreateInfoFile(infoPath, info, failed)) {
      if (failed) return false;
      continue;
    }
    if (RenameNoReplace(item.Canonical, target)) return true;
    const int error = errno;
    ::unlink(infoPath.c_str());
    if (error != EEXIST && error != ENOTEMPTY) return false;
  }
  return false;
}

}  // namespace

bool MoveToTrash(const std::vector<std::string>& paths) {
  if (paths.empty()) return false;
  TrashLocator locator;
  std::vector<TrashItem> items;
  items.reserve(paths.size());
  for (const std::string& path : paths) {
    std::optional<TrashItem> item = PrepareItem(path, locator);
    if (!item) return false;
    items.push_back(std::move(*item));
  }
  MarkCarriedItems(items);
  const std::string deletionDate = DeletionDate();
  bool allMoved = true;
  for (const TrashItem& item : items) {
    if (!item.Carried && !MoveItem(item, deletionDate)) allMoved = false;
  }
  return allMoved;
}

}  // namespace parvolane
