#include "results/csv_export.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string_view>
#include <system_error>

namespace parvolane {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kLineEnd = "\r\n";

void AppendQuoted(std::string& out, std::string_view cell) {
  out += '"';
  for (const char c : cell) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

[[noreturn]] void ThrowWriteError(int error, const std::string& fileName) {
  throw std::system_error(error, std::generic_category(), "cannot write '" + fileName + "'");
}

std::string FolderOf(const std::string& fileName) {
  const size_t slash = fileName.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : fileName.substr(0, slash);
}

// A file that is written under a temporary name beside its target and removed again unless
// Commit() renamed it over the target.
class TempFile final {
 public:
  explicit TempFile(const std::string& target) : FTarget(target) {
    std::random_device random;
    const std::string folder = FolderOf(target);
    for (int attempt = 0; attempt < 100 && FFd < 0; ++attempt) {
      char suffix[32];
      std::snprintf(suffix, sizeof suffix, "%08x%08x", random(), random());
      FPath = folder + "/.parvolane-export-" + suffix + ".tmp";
      // 0666 so that the umask decides, as for any file the user creates.
      FFd = ::open(FPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (FFd < 0 && errno != EEXIST) break;
    }
    if (FFd < 0) ThrowWriteError(errno, FTarget);
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    if (FFd >= 0) ::close(FFd);
    if (!FCommitted) ::unlink(FPath.c_str());
  }

  // Replacing a file keeps the permissions the user gave it.
  void KeepModeOfTarget() {
    struct stat st {};
    if (::stat(FTarget.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
    if (::fchmod(FFd, st.st_mode & 07777) != 0) ThrowWriteError(errno, FTarget);
  }

  void Write(std::string_view data) {
    while (!data.empty()) {
      const ssize_t n = ::write(FFd, data.data(), data.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        ThrowWriteError(errno, FTarget);
      }
      data.remove_prefix(static_cast<size_t>(n));
    }
  }

  void Commit() {
    const int fd = FFd;
    FFd = -1;
    // A failed close can be the first report of a failed write (a full disk on some file
    // systems), so it counts like one.
    if (::close(fd) != 0) ThrowWriteError(errno, FTarget);
    if (::rename(FPath.c_str(), FTarget.c_str()) != 0) ThrowWriteError(errno, FTarget);
    FCommitted = true;
  }

 private:
  std::string FTarget;
  std::string FPath;
  int FFd = -1;
  bool FCommitted = false;
};

// A link is written through: the file it names is replaced, the link stays. A dangling link is
// replaced by the file.
std::string ResolveLink(const std::string& fileName) {
  struct stat st {};
  if (::lstat(fileName.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return fileName;
  char resolved[PATH_MAX];
  return ::realpath(fileName.c_str(), resolved) != nullptr ? std::string(resolved) : fileName;
}

// A device or a pipe (/dev/null, /dev/stdout, a FIFO) is written into: renaming a file over it
// would destroy it.
bool IsSpecialFile(const std::string& fileName) {
  struct stat st {};
  return ::stat(fileName.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
}

void WriteInPlace(const std::string& fileName, std::string_view data) {
  const int fd = ::open(fileName.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) ThrowWriteError(errno, fileName);
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      ::close(fd);
      ThrowWriteError(error, fileName);
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  if (::close(fd) != 0) ThrowWriteError(errno, fileName);
}

}  // namespace

std::string ListViewCsvText(const ResultList& list) {
  std::string out(kByteOrderMark);
  const std::vector<ResultColumn>& columns = list.Columns();
  for (size_t c = 0; c < columns.size(); ++c) {
    if (c > 0) out += ',';
    out += columns[c].Caption;  // the header is never quoted
  }
  out += kLineEnd;
  for (const ResultRow& row : list.Rows()) {
    AppendQuoted(out, row.Texts.empty() ? std::string_view() : std::string_view(row.Texts[0]));
    for (size_t c = 1; c < row.Texts.size(); ++c) {
      out += ',';
      AppendQuoted(out, row.Texts[c]);
    }
    out += kLineEnd;
  }
  return out;
}

void ExportListViewToCsv(const ResultList& list, const std::string& fileName) {
  const std::string text = ListViewCsvText(list);
  const std::string target = ResolveLink(fileName);
  if (IsSpecialFile(target)) {
    WriteInPlace(target, text);
    return;
  }
  TempFile file(target);
  file.KeepModeOfTarget();
  file.Write(text);
  file.Commit();
}

}  // namespace parvolane
