#include "engine/private_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/unique_fd.h"
#include "platform/posix/user_dirs.h"

namespace parvolane {

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
constexpr mode_t kOthersWrite = S_IWGRP | S_IWOTH;

struct PathParts {
  std::string Folder;
  std::string Name;
};

PathParts Split(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? std::string("/") : path.substr(0, slash), path.substr(slash + 1)};
}

std::string Quoted(const std::string& path) {
  return "'" + path + "'";
}

// What makes an entry of the user's cache untrustworthy, as the user should read it.
std::string OwnEntryProblem(const struct stat& st, const std::string& path, bool folder) {
  if (S_ISLNK(st.st_mode)) return Quoted(path) + " is a link";
  if (folder ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode)) {
    return Quoted(path) + (folder ? " is not a folder" : " is not a regular file");
  }
  if (st.st_uid != ::geteuid()) return Quoted(path) + " belongs to another user";
  if ((st.st_mode & kOthersWrite) != 0) return Quoted(path) + " may be written by other users";
  return {};
}

// Someone who may rename entries of the parent could put a folder of their own in its place.
std::string ParentProblem(int parentFd, const std::string& parent, const std::string& folder) {
  struct stat st {};
  if (::fstat(parentFd, &st) != 0) return "cannot read " + Quoted(parent);
  const bool ownedSafely = st.st_uid == ::geteuid() || st.st_uid == 0;
  const bool othersMayRename = (st.st_mode & kOthersWrite) != 0 && (st.st_mode & S_ISVTX) == 0;
  if (ownedSafely && !othersMayRename) return {};
  return Quoted(parent) + " lets other users replace " + Quoted(folder);
}

// The folder, opened without following a link, checked through its descriptor.
std::string OpenOwnFolder(const std::string& folder, UniqueFd& out) {
  const PathParts parts = Split(folder);
  const UniqueFd parent(::open(parts.Folder.c_str(), kFolderFlags));
  if (!parent.IsOpen()) return "cannot open " + Quoted(parts.Folder);
  const std::string parentProblem = ParentProblem(parent.get(), parts.Folder, folder);
  if (!parentProblem.empty()) return parentProblem;
  out.Reset(::openat(parent.get(), parts.Name.c_str(), kFolderFlags | O_NOFOLLOW));
  struct stat st {};
  const bool known =
      out.IsOpen() ? ::fstat(out.get(), &st) == 0
                   : ::fstatat(parent.get(), parts.Name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  const std::string problem = known ? OwnEntryProblem(st, folder, true) : std::string();
  if (problem.empty() && !out.IsOpen()) return "cannot open " + Quoted(folder);
  return problem;
}

// A new database is created here, opened without following a link and checked through its
// descriptor. An existing one is only looked at, never opened: closing a descriptor of a file
// drops every lock this process holds on it, SQLite's included, and the folder was found to be
// the user's alone, so nobody else can swap the entry between this look and SQLite's open.
std::string CheckEntry(int folderFd, const std::string& folder, const std::string& name,
                       bool create) {
  const std::string path = folder + "/" + name;
  struct stat st {};
  if (::fstatat(folderFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    return OwnEntryProblem(st, path, false);
  }
  if (errno != ENOENT) return "cannot read " + Quoted(path);
  if (!create) return {};
  const UniqueFd fd(
      ::openat(folderFd, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd.IsOpen()) {
    if (errno == EEXIST) return CheckEntry(folderFd, folder, name, false);
    return "cannot create " + Quoted(path);
  }
  if (::fstat(fd.get(), &st) != 0) return "cannot read " + Quoted(path);
  return OwnEntryProblem(st, path, false);
}

}  // namespace

std::string PrivateStoreProblem(const std::string& path) {
  const PathParts parts = Split(path);
  if (!MakeFolders(parts.Folder, 0700)) return "cannot create " + Quoted(path);
  UniqueFd folder;
  std::string problem = OpenOwnFolder(parts.Folder, folder);
  if (problem.empty()) problem = CheckEntry(folder.get(), parts.Folder, parts.Name, true);
  for (const char* side : {"-wal", "-shm", "-journal"}) {
    if (problem.empty()) problem = CheckEntry(folder.get(), parts.Folder, parts.Name + side, false);
  }
  return problem;
}

}  // namespace parvolane
