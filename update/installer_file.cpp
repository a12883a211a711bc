#include "update/installer_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/posix/user_dirs.h"
#include "platform/posix/write_all.h"
#include "update/update_error.h"

namespace parvolane {

namespace {

constexpr mode_t kPrivateMode = 0700;
// Until the download is known to be whole, nothing may run it.
constexpr mode_t kIncompleteFileMode = 0600;

[[noreturn]] void FailWithErrno(const std::string& what, const std::string& path, int error) {
  throw UpdateError(what + " '" + path + "': " + std::strerror(error));
}

std::string EnvironmentPath(const char* name) {
  const char* value = std::getenv(name);
  // Relative paths in these variables are invalid and must be ignored.
  if (value == nullptr || value[0] != '/') return {};
  return value;
}

bool IsFolder(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The cache folder may not exist yet on a fresh account.
void CreateMissingFolders(const std::string& path) {
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string part = path.substr(0, slash);
    if (!IsFolder(part) && mkdir(part.c_str(), kPrivateMode) != 0 && errno != EEXIST) {
      FailWithErrno("Cannot create folder", part, errno);
    }
    if (slash == std::string::npos) return;
  }
}

std::string PrivateFolderParent() {
  const std::string runtime = EnvironmentPath("XDG_RUNTIME_DIR");
  if (!runtime.empty() && IsFolder(runtime)) return runtime;
  const std::string cache = XdgFolder("XDG_CACHE_HOME", ".cache");
  if (cache.empty()) throw UpdateError("Cannot find the home folder.");
  CreateMissingFolders(cache);
  return cache;
}

[[noreturn]] void RefuseFolder(const std::string& path) {
  throw UpdateError("Refusing to use '" + path +
                    "': it is not a private folder of this user (a folder of its own with mode "
                    "0700).");
}

}  // namespace

PrivateFolder PrivateFolder::Open() {
  const std::string path = PrivateFolderParent() + "/parvolane";
  const bool created = mkdir(path.c_str(), kPrivateMode) == 0;
  if (!created && errno != EEXIST) FailWithErrno("Cannot create folder", path, errno);
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno == ELOOP || errno == ENOTDIR) RefuseFolder(path);
    FailWithErrno("Cannot open folder", path, errno);
  }
  // A restrictive umask may have taken bits that the owner needs.
  if (created && fchmod(fd.get(), kPrivateMode) != 0) FailWithErrno("Cannot set up", path, errno);
  struct stat info {};
  if (fstat(fd.get(), &info) != 0) FailWithErrno("Cannot inspect folder", path, errno);
  if (!S_ISDIR(info.st_mode) || info.st_uid != geteuid() ||
      (info.st_mode & 07777) != kPrivateMode) {
    RefuseFolder(path);
  }
  return PrivateFolder(path, std::move(fd));
}

InstallerFile::InstallerFile(const PrivateFolder& folder, std::string name)
    : FFolder(folder), FName(std::move(name)), FPath(folder.Path() + "/" + FName) {
  FFd =
      UniqueFd(openat(folder.Fd(), FName.c_str(),
                      O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, kIncompleteFileMode));
  if (FFd.get() < 0) {
    if (errno == ELOOP) throw UpdateError("Refusing to write '" + FPath + "': it is a link.");
    FailWithErrno("Cannot create", FPath, errno);
  }
  struct stat info {};
  if (fstat(FFd.get(), &info) != 0) FailWithErrno("Cannot inspect", FPath, errno);
  if (!S_ISREG(info.st_mode)) throw UpdateError("Refusing to write '" + FPath + "': not a file.");
  // A file left by an earlier attempt keeps its old mode when truncated.
  if (fchmod(FFd.get(), kIncompleteFileMode) != 0) FailWithErrno("Cannot set up", FPath, errno);
  FDevice = info.st_dev;
  FInode = info.st_ino;
}

void InstallerFile::Write(std::string_view data) {
  if (const int error = WriteAll(FFd.get(), data); error != 0) {
    FailWithErrno("Cannot write", FPath, error);
  }
  FWritten += static_cast<off_t>(data.size());
}

void InstallerFile::Close() {
  if (FFd.get() >= 0 && !FFd.Close()) FailWithErrno("Cannot write", FPath, errno);
}

InstallerFile::~InstallerFile() {
  if (FKept) return;
  FFd.Reset();
  Discard();
}

bool InstallerFile::StillThere() const {
  struct stat info {};
  return fstatat(FFolder.Fd(), FName.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISREG(info.st_mode) && info.st_dev == FDevice && info.st_ino == FInode;
}

void InstallerFile::Keep() {
  // Opened anew without following links, so that the mode is set on the file that was checked.
  const UniqueFd fd(openat(FFolder.Fd(), FName.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() < 0) FailWithErrno("Cannot open", FPath, errno);
  struct stat info {};
  if (fstat(fd.get(), &info) != 0) FailWithErrno("Cannot inspect", FPath, errno);
  if (!S_ISREG(info.st_mode) || info.st_dev != FDevice || info.st_ino != FInode ||
      info.st_size != FWritten) {
    throw UpdateError("Refusing to start '" + FPath + "': it is not the file that was downloaded.");
  }
  if (fchmod(fd.get(), kPrivateMode) != 0) FailWithErrno("Cannot set up", FPath, errno);
  FKept = true;
}

void InstallerFile::Discard() noexcept {
  if (StillThere()) unlinkat(FFolder.Fd(), FName.c_str(), 0);
}

}  // namespace parvolane
