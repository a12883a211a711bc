#include "platform/trash.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string_view>
#include <unordered_set>

#include "platform/file_url.h"
#include "platform/posix/long_path.h"
#include "platform/posix/unique_fd.h"
#include "platform/posix/user_dirs.h"
#include "platform/posix/write_all.h"

namespace parvolane {

namespace {

constexpr mode_t kPrivateFolderMode = 0700;
constexpr std::string_view kInfoSuffix = ".trashinfo";
// An extension longer than this is more likely part of the name than a file type.
constexpr size_t kMaxExtension = 32;
// Gives up on a name after this many taken candidates rather than looping forever.
constexpr int kMaxNameAttempts = 100000;

/// The files/ and info/ folders of one trash and the device they live on.
struct TrashDir {
  std::string Files;
  std::string Info;
  dev_t Device = 0;
  // The top folder of the volume the trash serves; empty for the home trash, whose records
  // name absolute paths.
  std::string Top;
};

/// One path of a request, checked and assigned to its trash before anything moves.
struct TrashItem {
  std::string Requested;
  std::string Canonical;  // the real folder (links resolved) + "/" + the entry's own name
  std::string Name;
  const TrashDir* Trash = nullptr;
  bool Carried = false;  // lies inside another item of the request and moves with it
};

bool IsWritableFolder(const std::string& path) {
  return ::access(path.c_str(), W_OK | X_OK) == 0;
}

/// Nothing, with errno set to `error`: for refusals that no system call made.
std::nullopt_t Refused(int error) {
  errno = error;
  return std::nullopt;
}

/// The trash's folders once they are usable: existing, writable and on one device. Errno tells
/// why they are not.
std::optional<TrashDir> UsableTrash(const std::string& root) {
  TrashDir dir{root + "/files", root + "/info", 0, {}};
  struct stat files {};
  struct stat info {};
  if (::stat(dir.Files.c_str(), &files) != 0 || ::stat(dir.Info.c_str(), &info) != 0)
    return std::nullopt;
  if (!S_ISDIR(files.st_mode) || !S_ISDIR(info.st_mode)) return Refused(ENOTDIR);
  if (files.st_dev != info.st_dev) return Refused(EXDEV);
  if (!IsWritableFolder(dir.Files) || !IsWritableFolder(dir.Info)) return std::nullopt;
  dir.Device = files.st_dev;
  return dir;
}

std::optional<TrashDir> HomeTrash() {
  const std::string root = HomeTrashFolder();
  if (root.empty() || !MakeFolders(root + "/files", kPrivateFolderMode) ||
      !MakeFolders(root + "/info", kPrivateFolderMode))
    return std::nullopt;
  return UsableTrash(root);
}

/// The folders one request made, one list per trash it set up, each in the order made.
using MadeFolders = std::vector<std::vector<std::string>>;

/// A folder on a shared volume that we may trust: created private when missing (and added to
/// `made`), never a link and never one that someone else made for us. Errno tells why not.
bool EnsureOwnFolder(const std::string& path, MadeFolders& made) {
  if (::mkdir(path.c_str(), kPrivateFolderMode) == 0)
    made.back().push_back(path);
  else if (errno != EEXIST)
    return false;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return false;
  errno = !S_ISDIR(st.st_mode) ? ENOTDIR : EPERM;
  return S_ISDIR(st.st_mode) && st.st_uid == ::getuid();
}

std::optional<TrashDir> OwnVolumeTrash(const std::string& root, dev_t device, MadeFolders& made) {
  made.emplace_back();
  if (!EnsureOwnFolder(root, made) || !EnsureOwnFolder(root + "/files", made) ||
      !EnsureOwnFolder(root + "/info", made))
    return std::nullopt;
  std::optional<TrashDir> dir = UsableTrash(root);
  if (dir && dir->Device != device) return Refused(EXDEV);
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
    if (!StatLongPath(up, st, true) || st.st_dev != device) break;
    top = up;
  }
  return top;
}

/// The trash of the volume whose top folder is `top`; errno tells why there is none.
std::optional<TrashDir> VolumeTrashAt(const std::string& top, dev_t device, MadeFolders& made) {
  const std::string base = top == "/" ? std::string() : top;
  const std::string uid = std::to_string(::getuid());
  // The administrator's shared trash counts only when it is a real folder with the sticky
  // bit; otherwise another user could read or replace what we put there.
  const std::string shared = base + "/.Trash";
  struct stat st {};
  std::optional<TrashDir> dir;
  if (::lstat(shared.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) != 0) {
    dir = OwnVolumeTrash(shared + "/" + uid, device, made);
  }
  if (!dir) dir = OwnVolumeTrash(base + "/.Trash-" + uid, device, made);
  if (dir) dir->Top = top;
  return dir;
}

std::optional<TrashDir> VolumeTrash(const std::string& folder, dev_t device, MadeFolders& made) {
  return VolumeTrashAt(TopFolderOf(folder, device), device, made);
}

/// A mount point as /proc/self/mountinfo writes it: space, tab, newline and backslash as
/// three octal digits after a backslash.
std::string UnescapeMountField(std::string_view field) {
  const auto octal = [](char c) { return c >= '0' && c <= '7'; };
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && octal(field[i + 1]) && octal(field[i + 2]) &&
        octal(field[i + 3])) {
      out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                               (field[i + 3] - '0'));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

bool IsAtOrBelow(std::string_view path, std::string_view top) {
  if (top == "/") return !path.empty() && path.front() == '/';
  return path == top || (path.starts_with(top) && path[top.size()] == '/');
}

/// The mount point that holds `folder` (a real path): the longest one at or above it. Two
/// mounts of one file system share a device number, so only the mount table tells them apart.
std::string MountPointOf(const std::string& folder) {
  std::ifstream table("/proc/self/mountinfo");
  std::string line;
  std::string best = "/";
  while (std::getline(table, line)) {
    // id, parent id, major:minor, root, mount point, ...
    size_t start = 0;
    for (int field = 0; field < 4 && start != std::string::npos; ++field) {
      start = line.find(' ', start);
      if (start != std::string::npos) ++start;
    }
    if (start == std::string::npos) continue;
    const size_t end = line.find(' ', start);
    const std::string point = UnescapeMountField(std::string_view(line).substr(start, end - start));
    if (IsAtOrBelow(folder, point) && point.size() > best.size()) best = point;
  }
  return best;
}

/// A volume's trash, or the errno that explains why it has none.
struct FoundTrash {
  std::optional<TrashDir> Dir;
  int Error = 0;
};

/// Takes errno at once, before anything else can change it.
FoundTrash Found(std::optional<TrashDir> dir) {
  const int error = dir ? 0 : errno;
  return {std::move(dir), error};
}

/// Finds (and creates on first use) the trash for each device of a request. A volume trash
/// folder that it made and that is still empty when the request ends goes again, so that a
/// request that could move nothing leaves no trace on the volume.
class TrashLocator final {
 public:
  TrashLocator() = default;
  TrashLocator(const TrashLocator&) = delete;
  TrashLocator& operator=(const TrashLocator&) = delete;
  // rmdir(2) removes only empty folders: one that received anything, from this request or
  // another program, stays, and so does every folder of that trash made before it (info/
  // goes first, the top last), so that no trash is ever left with half its folders.
  ~TrashLocator() {
    for (const std::vector<std::string>& trash : FMade) {
      for (auto it = trash.rbegin(); it != trash.rend() && ::rmdir(it->c_str()) == 0; ++it) {
      }
    }
  }

  /// Nothing when the volume has no usable trash; `error` then tells why.
  const TrashDir* For(const std::string& realFolder, dev_t device, int& error) {
    if (!FHomeTried) {
      FHomeTried = true;
      FHome = HomeTrash();
    }
    if (FHome && FHome->Device == device) return &*FHome;
    auto [it, inserted] = FVolumes.try_emplace(device);
    if (inserted) it->second = Found(VolumeTrash(realFolder, device, FMade));
    return Answer(it->second, error);
  }

  /// The trash at the top of the mount that holds realFolder, for an entry that another mount
  /// of the same file system cannot take in.
  const TrashDir* ForMount(const std::string& realFolder, dev_t device, int& error) {
    const std::string top = MountPointOf(realFolder);
    auto [it, inserted] = FMounts.try_emplace(top);
    if (inserted) it->second = Found(VolumeTrashAt(top, device, FMade));
    return Answer(it->second, error);
  }

 private:
  static const TrashDir* Answer(const FoundTrash& found, int& error) {
    error = found.Error;
    return found.Dir ? &*found.Dir : nullptr;
  }

  bool FHomeTried = false;
  std::optional<TrashDir> FHome;
  std::map<dev_t, FoundTrash> FVolumes;
  std::map<std::string, FoundTrash> FMounts;
  MadeFolders FMade;
};

/// "." and ".." resolved by their text, for paths too long for realpath(3).
std::string LexicallyNormal(std::string_view path) {
  std::vector<std::string_view> parts;
  for (size_t pos = 0; pos < path.size();) {
    size_t end = path.find('/', pos);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(pos, end - pos);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    pos = end + 1;
  }
  std::string out;
  for (const std::string_view part : parts) {
    out += '/';
    out += part;
  }
  return out.empty() ? "/" : out;
}

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

/// The folder with links resolved; a folder too deep for realpath(3) keeps its own text.
std::optional<std::string> RealFolder(const std::string& folder) {
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(folder.c_str(), nullptr), &std::free);
  if (real != nullptr) return std::string(real.get());
  if (errno == ENAMETOOLONG || folder.size() >= PATH_MAX) return LexicallyNormal(folder);
  return std::nullopt;
}

/// The path checked and given its trash; nothing when it cannot go, `error` then tells why.
std::optional<TrashItem> PrepareItem(const std::string& given, TrashLocator& locator, int& error) {
  error = EINVAL;  // a path without a name of its own
  const std::string path = AbsoluteWithoutTrailingSlash(given);
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return std::nullopt;
  std::string name = path.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return std::nullopt;
  const ParentAndName at = OpenParentOf(path);
  struct stat entry {};
  struct stat st {};
  if (!at.Parent.IsOpen() ||
      ::fstatat(at.Parent.get(), name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0 ||
      ::fstat(at.Parent.get(), &st) != 0 ||
      ::faccessat(at.Parent.get(), ".", W_OK | X_OK, 0) != 0) {
    error = errno;
    return std::nullopt;
  }
  // The entry itself may be a link (the link is what goes); the folders above it are resolved
  // so that the volume, the recorded location and nesting tests see the real place.
  const std::optional<std::string> folder = RealFolder(slash == 0 ? "/" : path.substr(0, slash));
  if (!folder) {
    error = errno;
    return std::nullopt;
  }
  const TrashDir* trash = locator.For(*folder, st.st_dev, error);
  if (trash == nullptr) return std::nullopt;
  std::string canonical = (*folder == "/" ? std::string() : *folder) + "/" + name;
  return TrashItem{given, std::move(canonical), std::move(name), trash};
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
/// that its .trashinfo name still fits in one directory entry. The cut never splits a UTF-8
/// character (a name that is not UTF-8 is cut where it must be).
std::string CandidateName(const std::string& name, int n) {
  size_t dot = name.rfind('.');
  if (dot == 0 || dot == std::string::npos || name.size() - dot > kMaxExtension) dot = name.size();
  std::string stem = name.substr(0, dot);
  const std::string extension = name.substr(dot);
  const std::string suffix = n == 1 ? std::string() : " (" + std::to_string(n) + ")";
  const size_t room = NAME_MAX - kInfoSuffix.size() - suffix.size() - extension.size();
  if (stem.size() > room) {
    size_t cut = room;
    // At most three continuation bytes follow a lead byte.
    for (int back = 0;
         back < 3 && cut > 0 && (static_cast<unsigned char>(stem[cut]) & 0xC0) == 0x80; ++back)
      --cut;
    if ((static_cast<unsigned char>(stem[cut]) & 0xC0) == 0x80) cut = room;
    stem.resize(cut);
  }
  return stem + suffix + extension;
}

/// Creates the info record under a name nobody holds yet: 0 when it did, EEXIST when the name
/// is taken, else the errno of what failed (nothing is left behind then).
int CreateInfoFile(const std::string& infoPath, const std::string& text) {
  UniqueFd fd(::open(infoPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd.IsOpen()) return errno;
  int error = WriteAll(fd.get(), text);
  if (error == 0 && !fd.Close()) error = errno;
  if (error == 0) return 0;
  ::unlink(infoPath.c_str());
  // EEXIST means a taken name to the caller; a write never fails that way.
  return error == EEXIST ? EIO : error;
}

/// rename(2) that never replaces an existing entry, so nothing in the trash (or at a restored
/// name) is ever lost.
bool RenameNoReplace(int fromDir, const std::string& from, int toDir, const std::string& to) {
  if (::renameat2(fromDir, from.c_str(), toDir, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // Some file systems cannot promise not to replace. The name was free a moment ago (and in
  // the trash our info record reserves it), so a plain rename after one more look is the next
  // best thing.
  struct stat st {};
  if (::fstatat(toDir, to.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return false;
  }
  return ::renameat(fromDir, from.c_str(), toDir, to.c_str()) == 0;
}

/// The record's Path: relative to the top of the volume for a volume's trash, absolute for
/// the home trash.
std::string RecordedPath(const std::string& canonical, const TrashDir& trash) {
  if (trash.Top.empty()) return canonical;
  if (trash.Top == "/") return canonical.substr(1);
  if (canonical.starts_with(trash.Top + "/")) return canonical.substr(trash.Top.size() + 1);
  return canonical;
}

/// Renames the item into the trash under the first free name; `error` tells why when it could
/// not.
std::optional<TrashedItem> MoveInto(const TrashItem& item, const TrashDir& trash,
                                    const std::string& deletionDate, int& error) {
  const std::string info =
      "[Trash Info]\nPath=" + PercentEncodePath(RecordedPath(item.Canonical, trash)) +
      "\nDeletionDate=" + deletionDate + "\n";
  const ParentAndName from = OpenParentOf(item.Canonical);
  if (!from.Parent.IsOpen()) {
    error = errno;
    return std::nullopt;
  }
  for (int n = 1; n <= kMaxNameAttempts; ++n) {
    const std::string name = CandidateName(item.Name, n);
    const std::string target = trash.Files + "/" + name;
    const std::string infoPath = trash.Info + "/" + name + std::string(kInfoSuffix);
    struct stat st {};
    if (::lstat(target.c_str(), &st) == 0) continue;
    error = CreateInfoFile(infoPath, info);
    if (error == EEXIST) continue;
    if (error != 0) return std::nullopt;
    if (RenameNoReplace(from.Parent.get(), from.Name, AT_FDCWD, target))
      return TrashedItem{item.Requested, item.Canonical, target, infoPath};
    error = errno;
    ::unlink(infoPath.c_str());
    if (error != EEXIST && error != ENOTEMPTY) return std::nullopt;
  }
  error = EEXIST;
  return std::nullopt;
}

std::optional<TrashedItem> MoveItem(const TrashItem& item, const std::string& deletionDate,
                                    TrashLocator& locator, int& error) {
  std::optional<TrashedItem> moved = MoveInto(item, *item.Trash, deletionDate, error);
  if (moved || error != EXDEV) return moved;
  // Same device, other mount (a bind mount): the entry can only go to its own mount's trash.
  const std::string folder = item.Canonical.substr(0, item.Canonical.rfind('/'));
  int mountError = 0;
  const TrashDir* own =
      locator.ForMount(folder.empty() ? "/" : folder, item.Trash->Device, mountError);
  if (own == item.Trash) return std::nullopt;
  if (own == nullptr) {
    error = mountError;
    return std::nullopt;
  }
  return MoveInto(item, *own, deletionDate, error);
}

std::string HomeTrashPrefix() {
  const std::string root = HomeTrashFolder();
  return root.empty() ? std::string() : root + "/";
}

}  // namespace

TrashResult MoveToTrash(const std::vector<std::string>& paths) {
  TrashResult result;
  if (paths.empty()) return result;
  TrashLocator locator;
  std::vector<TrashItem> items;
  items.reserve(paths.size());
  // Every path is checked, so that the user hears of each one that keeps the request back.
  for (const std::string& path : paths) {
    int error = 0;
    if (std::optional<TrashItem> item = PrepareItem(path, locator, error))
      items.push_back(std::move(*item));
    else
      result.Failed.push_back({path, error});
  }
  if (!result.Failed.empty()) return result;
  MarkCarriedItems(items);
  const std::string deletionDate = DeletionDate();
  result.Complete = true;
  for (const TrashItem& item : items) {
    if (item.Carried) continue;
    int error = 0;
    if (std::optional<TrashedItem> moved = MoveItem(item, deletionDate, locator, error)) {
      result.Moved.push_back(std::move(*moved));
    } else {
      result.Complete = false;
      result.Failed.push_back({item.Requested, error});
    }
  }
  return result;
}

std::string TrashFailureText(const TrashFailure& failure) {
  return "cannot move '" + failure.Requested + "' to the trash: " + std::strerror(failure.Error);
}

std::string RestoreFromTrash(const TrashedItem& item) {
  const ParentAndName to = OpenParentOf(item.Original);
  if (!to.Parent.IsOpen()) return std::strerror(errno);
  const ParentAndName from = OpenParentOf(item.TrashPath);
  if (!from.Parent.IsOpen()) return std::strerror(errno);
  if (!RenameNoReplace(from.Parent.get(), from.Name, to.Parent.get(), to.Name)) {
    if (errno == EEXIST || errno == ENOTEMPTY) return "the name is taken";
    return std::strerror(errno);
  }
  ::unlink(item.InfoPath.c_str());
  return {};
}

bool IsInsideTrash(const std::string& path) {
  const std::string home = HomeTrashPrefix();
  if (!home.empty() && path.starts_with(home)) return true;
  const std::string uid = std::to_string(::getuid());
  for (const std::string& marker : {"/.Trash-" + uid, "/.Trash/" + uid}) {
    const size_t at = path.find(marker);
    if (at == std::string::npos) continue;
    const size_t end = at + marker.size();
    if (end == path.size() || path[end] == '/') return true;
  }
  return false;
}

}  // namespace parvolane
