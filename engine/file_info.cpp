#include "engine/file_info.h"

#include <sys/stat.h>

#include "platform/posix/long_path.h"

namespace parvolane {

std::string_view NameOfPath(std::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

int64_t CTimeNsOf(const struct stat& st) {
  return static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
}

int64_t MTimeNsOf(const struct stat& st) {
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

int64_t QueryEntrySize(const std::string& path) {
  struct stat st {};
  if (!StatLongPath(path, st, false)) return -1;
  // A link counts as an entry of its own with no content, so that it is never collected or
  // grouped with the file it points to.
  if (S_ISLNK(st.st_mode)) return 0;
  return static_cast<int64_t>(st.st_size);
}

TFileInfo::TFileInfo(const std::string& APath)
    : FullPath(APath), Name(NameOfPath(APath)), Size(QueryEntrySize(APath)) {}

TFileInfo::TFileInfo(std::string APath, int64_t ASize)
    : FullPath(std::move(APath)), Name(NameOfPath(FullPath)), Size(ASize) {}

}  // namespace parvolane
