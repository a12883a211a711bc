#include "support/clone_checks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <unordered_set>

#include "support/deep_tree.h"

namespace parvolane::testing {

namespace {

std::optional<FileId> IdOfFd(int fd) {
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0) return std::nullopt;
  return FileId{st.st_dev, st.st_ino};
}

// The identities of every folder above a folder, up to the root, found by going up through
// ".." from the folder itself, so that links on the way to it play no part.
std::unordered_set<FileId, FileIdHash> AncestorIds(const std::string& folder) {
  std::unordered_set<FileId, FileIdHash> ids;
  int fd = OpenAnyPath(folder, true);
  std::optional<FileId> current = IdOfFd(fd);
  while (current) {
    const int parent = ::openat(fd, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
    ::close(fd);
    fd = parent;
    const std::optional<FileId> up = IdOfFd(fd);
    if (!up || *up == *current) break;  // the root is its own parent
    ids.insert(*up);
    current = up;
  }
  if (fd >= 0) ::close(fd);
  return ids;
}

void CheckGroup(const std::vector<std::string>& group, Listing kind,
                std::vector<std::string>& faults) {
  std::vector<std::optional<FileId>> ids;
  for (const std::string& path : group)
    ids.push_back(IdOfPath(path, kind == Listing::Dirs));  // a scan folder may be a link
  for (size_t i = 0; i < group.size(); ++i) {
    for (size_t j = i + 1; j < group.size(); ++j) {
      if (group[i] == group[j]) faults.push_back("listed twice: " + group[i]);
      if (ids[i] && ids[j] && *ids[i] == *ids[j]) {
        faults.push_back("one file: " + group[i] + " and " + group[j]);
      }
    }
  }
  if (kind == Listing::Files) return;
  for (size_t i = 0; i < group.size(); ++i) {
    const std::unordered_set<FileId, FileIdHash> above = AncestorIds(group[i]);
    for (size_t j = 0; j < group.size(); ++j) {
      const bool byPath = group[i].starts_with(group[j] == "/" ? "/" : group[j] + "/");
      const bool byIdentity = ids[j] && above.contains(*ids[j]);
      if (i != j && (byPath || byIdentity)) {
        faults.push_back("inside another member: " + group[i] + " in " + group[j]);
      }
    }
  }
}

}  // namespace

std::vector<std::vector<std::string>> ListedGroups(const ResultList& list, Listing kind) {
  std::vector<std::vector<std::string>> groups;
  int lastId = 0;
  for (const ResultRow& row : list.Rows()) {
    if (groups.empty() || row.GroupId != lastId) groups.emplace_back();
    lastId = row.GroupId;
    if (kind == Listing::Dirs) {
      groups.back().push_back(CellText(row, 1));
    } else {
      groups.back().push_back(row.IsFile ? row.Path : std::string());
    }
  }
  return groups;
}

std::vector<std::string> SelfCloneFaults(const ResultList& list, Listing kind) {
  std::vector<std::string> faults;
  for (const std::vector<std::string>& group : ListedGroups(list, kind))
    CheckGroup(group, kind, faults);
  return faults;
}

std::optional<FileId> IdOfPath(const std::string& path, bool followLast) {
  const int fd = OpenAnyPath(path, followLast);
  const std::optional<FileId> id = IdOfFd(fd);
  if (fd >= 0) ::close(fd);
  return id;
}

}  // namespace parvolane::testing
