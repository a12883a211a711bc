#include "engine/tree_walker.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <system_error>

#include "platform/posix/long_path.h"
#include "platform/posix/unique_dir.h"
#include "platform/posix/unique_fd.h"
#include "platform/posix/user_dirs.h"

namespace parvolane {

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
// One getdents64 call fills this much: a large buffer takes a big folder in few calls, and
// only the bytes used are kept per folder.
constexpr size_t kReadChunk = size_t{128} * 1024;

char* ReadBuffer() {
  thread_local const std::unique_ptr<char[]> buffer(new char[kReadChunk]);
  return buffer.get();
}

FileId IdOf(const struct stat& st) {
  return FileId{st.st_dev, st.st_ino};
}

std::string_view LastComponent(std::string_view path) {
  while (path.size() > 1 && path.back() == '/')
    path.remove_suffix(1);
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

// ---- FolderListing ---------------------------------------------------------------------------

bool FolderListing::Read(int fd) {
  Clear();
  char* const chunk = ReadBuffer();
  for (;;) {
    const ssize_t n = ::getdents64(fd, chunk, kReadChunk);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    FBytes.insert(FBytes.end(), chunk, chunk + n);
  }
}

bool FolderListing::Next(Entry& entry) {
  while (FPos < FBytes.size()) {
    const auto* record = reinterpret_cast<const dirent64*>(FBytes.data() + FPos);
    FPos += record->d_reclen;
    if (IsDotOrDotDot(record->d_name)) continue;
    entry = Entry{record->d_name, record->d_type};
    return true;
  }
  return false;
}

void FolderListing::Clear() {
  FBytes.clear();
  FPos = 0;
}

// ---- TrashFolders ----------------------------------------------------------------------------

TrashFolders::TrashFolders()
    : FVolumeName(".Trash-" + std::to_string(::getuid())), FUid(std::to_string(::getuid())) {
  const std::string home = HomeTrashFolder();
  struct stat st {};
  if (!home.empty() && StatLongPath(home, st, true) && S_ISDIR(st.st_mode)) {
    FHome = IdOf(st);
    FHasHome = true;
  }
}

bool TrashFolders::IsVolumeTrash(std::string_view name, std::string_view parentName) const {
  return name == FVolumeName || (name == FUid && parentName == ".Trash");
}

SkipKind SkipKindOfError(int error, bool folder) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ELOOP:
    case ESTALE:
      return SkipKind::Vanished;
    case ENAMETOOLONG:
      return SkipKind::TooLong;
    default:
      return folder ? SkipKind::UnreadableFolder : SkipKind::UnreadableFile;
  }
}

// ---- The walk --------------------------------------------------------------------------------

namespace {

class Walk final {
 public:
  Walk(const std::string& root, const WalkOptions& options, WalkVisitor& visitor)
      : FOptions(options), FVisitor(visitor), FPath(root) {}

  bool Run() {
    UniqueFd fd(OpenLongPath(FPath, kFolderFlags));
    struct stat st {};
    if (!fd.IsOpen() || ::fstat(fd.get(), &st) != 0) RootFailed(errno);
    const WalkStep step = FVisitor.EnterFolder(FPath, st);
    if (step != WalkStep::Continue) return step == WalkStep::Skip;
    Frame& root = PushFrame(std::move(fd), IdOf(st));
    if (!root.Listing.Read(root.Fd.get())) RootFailed(errno);
    while (FDepth > 0) {
      if (!Step()) return false;
    }
    return true;
  }

 private:
  struct Frame {
    UniqueFd Fd;
    FileId Id;
    size_t PathLength = 0;  // of the folder's own path, as the walk formed it
    FolderListing Listing;
  };

  [[noreturn]] void RootFailed(int error) const {
    throw std::system_error(error, std::generic_category(), "cannot scan '" + FPath + "'");
  }

  // Handles the next entry of the deepest folder, or leaves that folder. False on a stop.
  bool Step() {
    Frame& top = FFrames[FDepth - 1];
    FolderListing::Entry entry{};
    if (!top.Listing.Next(entry)) {
      PopFrame();
      return true;
    }
    if (FVisitor.StopRequested()) return false;
    FPath.resize(top.PathLength);
    if (FPath.empty() || FPath.back() != '/') FPath += '/';
    FPath += entry.Name;
    return VisitEntry(top.Fd.get(), entry);
  }

  bool VisitEntry(int dirFd, const FolderListing::Entry& entry) {
    struct stat st {};
    const struct stat* known = nullptr;
    unsigned char type = entry.Type;
    if (type == DT_UNKNOWN && ::fstatat(dirFd, entry.Name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
      known = &st;
      type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISLNK(st.st_mode) ? DT_LNK : DT_REG;
    }
    int linkFlag = O_NOFOLLOW;
    if (type == DT_LNK && FOptions.FollowFolderLinks) {
      struct stat target {};
      if (::fstatat(dirFd, entry.Name, &target, 0) == 0 && S_ISDIR(target.st_mode)) {
        type = DT_DIR;
        linkFlag = 0;
      }
    }
    if (type != DT_DIR) {
      return FVisitor.VisitFile(dirFd, entry.Name, FPath, known) != WalkStep::Stop;
    }
    return Descend(dirFd, entry.Name, linkFlag);
  }

  bool IsTrashName(const char* name) const {
    if (!FOptions.LeaveOutTrash) return false;
    const Frame& parent = FFrames[FDepth - 1];
    if (name[0] != '.' && FUidName != name) return false;  // the common case, at once
    return FTrash.IsVolumeTrash(
        name, LastComponent(std::string_view(FPath).substr(0, parent.PathLength)));
  }

  bool Descend(int dirFd, const char* name, int linkFlag) {
    if (IsTrashName(name)) return true;
    UniqueFd fd(::openat(dirFd, name, kFolderFlags | linkFlag));
    struct stat st {};
    if (!fd.IsOpen() || ::fstat(fd.get(), &st) != 0) {
      FVisitor.FolderFailed(dirFd, name, FPath, errno);
      return true;
    }
    if (FOptions.LeaveOutTrash && FTrash.IsHomeTrash(IdOf(st))) return true;
    const WalkStep step = FVisitor.EnterFolder(FPath, st);
    if (step != WalkStep::Continue) return step == WalkStep::Skip;
    Frame& frame = PushFrame(std::move(fd), IdOf(st));
    if (!frame.Listing.Read(frame.Fd.get())) {
      const int error = errno;
      PopFrame();
      FVisitor.FolderFailed(FFrames[FDepth - 1].Fd.get(), name, FPath, error);
    }
    return true;
  }

  Frame& PushFrame(UniqueFd fd, FileId id) {
    if (FDepth == FFrames.size()) FFrames.emplace_back();
    Frame& frame = FFrames[FDepth++];
    frame.Fd = std::move(fd);
    frame.Id = id;
    frame.PathLength = FPath.size();
    if (FDepth - FFirstOpen > FOptions.MaxOpenFolders) FFrames[FFirstOpen++].Fd.Reset();
    return frame;
  }

  // Leaves the deepest folder; the folder above it is opened again when it was closed.
  void PopFrame() {
    Frame& done = FFrames[--FDepth];
    if (FDepth > 0 && FDepth == FFirstOpen) {
      FFirstOpen = FDepth - 1;
      Reopen(FFrames[FDepth - 1], done.Fd.get());
    }
    done.Fd.Reset();
    done.Listing.Clear();
  }

  // Through the child's "..", else by the folder's path; either must lead to the same folder.
  // A folder that cannot be found again loses the rest of its entries.
  void Reopen(Frame& frame, int childFd) {
    const std::string path = FPath.substr(0, frame.PathLength);
    UniqueFd fd(::openat(childFd, "..", kFolderFlags));
    if (!IsFolder(fd, frame.Id)) fd.Reset(OpenLongPath(path, kFolderFlags));
    if (!IsFolder(fd, frame.Id)) {
      fd.Reset();
      frame.Listing.Clear();
      FVisitor.FolderLost(path);
    }
    frame.Fd = std::move(fd);
  }

  static bool IsFolder(const UniqueFd& fd, FileId id) {
    struct stat st {};
    return fd.IsOpen() && ::fstat(fd.get(), &st) == 0 && IdOf(st) == id;
  }

  const WalkOptions& FOptions;
  WalkVisitor& FVisitor;
  const TrashFolders FTrash;
  const std::string FUidName = std::to_string(::getuid());
  std::string FPath;
  std::vector<Frame> FFrames;  // kept beyond FDepth, so that their buffers are reused
  size_t FDepth = 0;
  size_t FFirstOpen = 0;  // frames below this index have been closed
};

}  // namespace

bool WalkTree(const std::string& root, const WalkOptions& options, WalkVisitor& visitor) {
  return Walk(root, options, visitor).Run();
}

}  // namespace parvolane
