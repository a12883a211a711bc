#include "platform/posix/long_path.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace parvolane {

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// Opens the folder `path` names (a prefix of a longer path, no trailing '/'), walking it in
// pieces of less than PATH_MAX bytes.
UniqueFd OpenFolderInPieces(std::string_view path) {
  size_t pos = 0;
  UniqueFd fd;
  if (!path.empty() && path.front() == '/') {
    fd.Reset(::open("/", kFolderFlags));
    pos = 1;
  } else {
    fd.Reset(::open(".", kFolderFlags));
  }
  while (fd.IsOpen() && pos < path.size()) {
    size_t end = path.size();
    if (end - pos >= PATH_MAX) {
      end = path.rfind('/', pos + PATH_MAX - 1);
      if (end == std::string_view::npos || end <= pos) {
        errno = ENAMETOOLONG;  // one component longer than any name can be
        return UniqueFd();
      }
    }
    const std::string piece(path.substr(pos, end - pos));
    fd.Reset(::openat(fd.get(), piece.c_str(), kFolderFlags));
    pos = end + 1;
  }
  return fd;
}

std::string_view WithoutTrailingSlashes(std::string_view path) {
  while (path.size() > 1 && path.back() == '/')
    path.remove_suffix(1);
  return path;
}

}  // namespace

ParentAndName OpenParentOf(std::string_view path) {
  path = WithoutTrailingSlashes(path);
  ParentAndName out;
  if (path == "/") {
    out.Parent.Reset(::open("/", kFolderFlags));
    out.Name.assign(1, '.');
    return out;
  }
  const size_t slash = path.rfind('/');
  out.Name = std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
  if (slash == std::string_view::npos) {
    out.Parent.Reset(::open(".", kFolderFlags));
  } else if (slash == 0) {
    out.Parent.Reset(::open("/", kFolderFlags));
  } else if (slash < PATH_MAX) {
    out.Parent.Reset(::open(std::string(path.substr(0, slash)).c_str(), kFolderFlags));
  } else {
    out.Parent = OpenFolderInPieces(path.substr(0, slash));
  }
  return out;
}

int OpenLongPath(std::string_view path, int flags, mode_t mode) {
  if (path.size() < PATH_MAX) return ::open(std::string(path).c_str(), flags, mode);
  const ParentAndName at = OpenParentOf(path);
  if (!at.Parent.IsOpen()) return -1;
  return ::openat(at.Parent.get(), at.Name.c_str(), flags, mode);
}

bool StatLongPath(std::string_view path, struct stat& st, bool followLink) {
  const int flags = followLink ? 0 : AT_SYMLINK_NOFOLLOW;
  if (path.size() < PATH_MAX) {
    return ::fstatat(AT_FDCWD, std::string(path).c_str(), &st, flags) == 0;
  }
  const ParentAndName at = OpenParentOf(path);
  return at.Parent.IsOpen() && ::fstatat(at.Parent.get(), at.Name.c_str(), &st, flags) == 0;
}

}  // namespace parvolane
