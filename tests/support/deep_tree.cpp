#include "support/deep_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <vector>

#include "platform/posix/unique_dir.h"
#include "platform/posix/unique_fd.h"
#include "platform/posix/write_all.h"

namespace parvolane::testing {

namespace {

std::vector<std::string> Components(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    const size_t slash = path.find('/', start);
    const size_t end = slash == std::string::npos ? path.size() : slash;
    if (end > start) parts.push_back(path.substr(start, end - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return parts;
}

void WriteAllAt(int dirFd, const std::string& fileName, const std::string& content) {
  const UniqueFd file(
      ::openat(dirFd, fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (file.get() < 0) throw std::runtime_error("cannot create " + fileName);
  if (WriteAll(file.get(), content) != 0) {
    throw std::runtime_error("cannot write " + fileName);
  }
}

struct Entry {
  std::string Name;
  bool Folder = false;
};

// The entries of the folder open at `fd`, read through a descriptor of its own (a dup would
// share the reading position).
std::vector<Entry> EntriesOf(int fd) {
  std::vector<Entry> entries;
  const UniqueDir dir =
      UniqueDir::Adopt(UniqueFd(::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
  if (!dir.IsOpen()) return entries;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    const bool folder =
        ::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    entries.push_back(Entry{name, folder});
  }
  return entries;
}

// Removes the files of the subfolder `name` and moves its own subfolders up into `fd` under
// fresh names, then removes it: each pass takes one level off every branch, so a tree of any
// depth goes with two descriptors open and no recursion.
bool Hoist(int fd, const std::string& name, unsigned long& counter) {
  ::fchmodat(fd, name.c_str(), 0700, 0);
  const UniqueFd sub(::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (sub.get() < 0) return false;
  for (const Entry& entry : EntriesOf(sub.get())) {
    if (!entry.Folder) {
      ::unlinkat(sub.get(), entry.Name.c_str(), 0);
      continue;
    }
    const std::string moved = ".removing-" + std::to_string(counter++);
    ::renameat(sub.get(), entry.Name.c_str(), fd, moved.c_str());
  }
  return ::unlinkat(fd, name.c_str(), AT_REMOVEDIR) == 0;
}

// Empties the folder open at `fd` and everything below it.
void EmptyFolder(int fd) {
  ::fchmod(fd, 0700);
  unsigned long counter = 0;
  bool progress = true;
  while (progress) {
    progress = false;
    for (const Entry& entry : EntriesOf(fd)) {
      const int flags = entry.Folder ? AT_REMOVEDIR : 0;
      if (::unlinkat(fd, entry.Name.c_str(), flags) == 0 ||
          (entry.Folder && Hoist(fd, entry.Name, counter))) {
        progress = true;
      }
    }
  }
}

}  // namespace

std::string MakeFolderChain(const std::string& top, int levels, const std::string& name,
                            const std::string& fileName, const std::string& content) {
  ::mkdir(top.c_str(), 0755);
  UniqueFd folder(::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() < 0) throw std::runtime_error("cannot open " + top);
  std::string path = top;
  for (int i = 0; i < levels; ++i) {
    if (::mkdirat(folder.get(), name.c_str(), 0755) != 0 && errno != EEXIST) {
      throw std::runtime_error("cannot make a folder below " + top);
    }
    folder.Reset(::openat(folder.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() < 0) throw std::runtime_error("cannot open a folder below " + top);
    path += "/" + name;
  }
  WriteAllAt(folder.get(), fileName, content);
  return path;
}

int OpenAnyPath(const std::string& path, bool followLast) {
  const std::vector<std::string> parts = Components(path);
  int fd = ::open(path.starts_with('/') ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  for (size_t i = 0; i < parts.size() && fd >= 0; ++i) {
    const bool last = i + 1 == parts.size();
    const int next =
        ::openat(fd, parts[i].c_str(), O_PATH | O_CLOEXEC | (last && !followLast ? O_NOFOLLOW : 0));
    ::close(fd);
    fd = next;
  }
  return fd;
}

void RemoveTreeAt(const std::string& path) {
  ::chmod(path.c_str(), 0700);
  const UniqueFd folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (folder.get() < 0) {
    ::unlink(path.c_str());
    return;
  }
  EmptyFolder(folder.get());
  ::rmdir(path.c_str());
}

}  // namespace parvolane::testing
