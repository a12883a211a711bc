#include "platform/posix/unique_dir.h"

#include <cerrno>

namespace parvolane {

UniqueDir UniqueDir::Adopt(UniqueFd fd) {
  if (!fd.IsOpen()) return UniqueDir();
  DIR* dir = ::fdopendir(fd.get());
  if (dir == nullptr) {
    const int error = errno;
    fd.Reset();
    errno = error;
    return UniqueDir();
  }
  fd.Release();
  return UniqueDir(dir);
}

int UniqueDir::Fd() const {
  return FDir == nullptr ? -1 : ::dirfd(FDir);
}

void UniqueDir::Reset(DIR* dir) {
  if (FDir != nullptr) ::closedir(FDir);
  FDir = dir;
}

}  // namespace parvolane
