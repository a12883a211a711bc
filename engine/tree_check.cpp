#include "engine/tree_check.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>
#include <utility>
#include <vector>

#include "engine/dir_paths.h"
#include "platform/posix/long_path.h"
#include "platform/posix/unique_dir.h"

namespace parvolane {

namespace {

/// One folder of the tree being signed: its lines so far and the subfolders still to sign.
struct Frame {
  std::string Path;
  std::string Name;  // as its parent lists it
  SignatureTextBuilder Text;
  int64_t Total = 0;
  bool Complete = true;
  std::vector<std::string> Pending;  // subfolder names, signed one after the other
};

std::string ChildPath(const std::string& folder, const std::string& name) {
  return folder == "/" ? "/" + name : folder + "/" + name;
}

// Lists a folder at once: the files go into its lines, the subfolders wait in Pending. The
// folder is closed before any subfolder is opened, so any depth needs one descriptor.
void ListFrame(Frame& frame, bool followLink) {
  const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW);
  const UniqueDir dir = UniqueDir::Adopt(UniqueFd(OpenLongPath(frame.Path, flags)));
  if (dir.IsOpen()) {
    const int dirFd = dir.Fd();
    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(dir.get());
      if (entry == nullptr) break;
      if (IsDotOrDotDot(entry->d_name)) continue;
      struct stat st {};
      const bool known = ::fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0;
      const bool folder =
          entry->d_type == DT_DIR || (entry->d_type == DT_UNKNOWN && known && S_ISDIR(st.st_mode));
      if (folder) {
        frame.Pending.emplace_back(entry->d_name);
        continue;
      }
      // A link's own size is 0, and so is an entry that cannot be queried.
      const int64_t size = known && !S_ISLNK(st.st_mode) ? static_cast<int64_t>(st.st_size) : 0;
      frame.Text.AddFile(entry->d_name, size);
      frame.Total += size;
    }
    if (errno == 0) return;
  }
  frame.Complete = false;
  frame.Pending.clear();
  frame.Text.Clear();
  frame.Text.AddFilesAccessError();
  frame.Text.AddDirsAccessError();
  frame.Total = 0;
}

Frame NewFrame(std::string path, std::string name, bool followLink) {
  Frame frame;
  frame.Path = std::move(path);
  frame.Name = std::move(name);
  frame.Text.Clear();
  ListFrame(frame, followLink);
  return frame;
}

bool SameAsSeen(const struct stat& st, const EntrySnapshot& seen) {
  return seen.Known && st.st_dev == seen.Id.Device && st.st_ino == seen.Id.Inode;
}

}  // namespace

TreeSignature SignFolderTree(const std::string& path) {
  std::vector<Frame> stack;
  stack.push_back(NewFrame(path, {}, true));
  bool complete = true;
  for (;;) {
    Frame& top = stack.back();
    if (!top.Pending.empty()) {
      std::string name = std::move(top.Pending.back());
      top.Pending.pop_back();
      std::string child = ChildPath(top.Path, name);
      stack.push_back(NewFrame(std::move(child), std::move(name), false));
      continue;
    }
    complete = complete && top.Complete;
    TreeSignature signed_{SignatureOfText(top.Text.Text()), top.Total, complete};
    if (stack.size() == 1) return signed_;
    const std::string name = std::move(top.Name);
    stack.pop_back();
    stack.back().Text.AddFolder(name, signed_.Signature, signed_.Size);
    stack.back().Total += signed_.Size;
  }
}

EntryState CheckFile(const std::string& path, const EntrySnapshot& seen) {
  struct stat st {};
  if (!StatLongPath(path, st, false))
    return errno == ENOENT || errno == ENOTDIR ? EntryState::Gone : EntryState::Changed;
  if (!S_ISREG(st.st_mode) || !SameAsSeen(st, seen) || st.st_size != seen.Size ||
      MTimeNsOf(st) != seen.MTimeNs)
    return EntryState::Changed;
  return EntryState::Unchanged;
}

EntryState CheckFolder(const std::string& path, const EntrySnapshot& seen,
                       std::string_view signature) {
  struct stat st {};
  if (!StatLongPath(path, st, false))
    return errno == ENOENT || errno == ENOTDIR ? EntryState::Gone : EntryState::Changed;
  if (!S_ISDIR(st.st_mode) || (seen.Known && !SameAsSeen(st, seen))) return EntryState::Changed;
  if (!signature.empty() && SignFolderTree(path).Signature != signature) return EntryState::Changed;
  return EntryState::Unchanged;
}

}  // namespace parvolane
