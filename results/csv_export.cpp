#include "results/csv_export.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string_view>
#include <system_error>

#include "platform/posix/unique_fd.h"
#include "platform/posix/write_all.h"

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

[[noreturn]] void Refuse(const std::string& fileName, const std::string& why) {
  throw std::runtime_error("cannot write '" + fileName + "': " + why);
}

// A signal (Ctrl-C) breaks a write that waits for a slow reader; whether that ends the export
// is the caller's decision.
void WriteOrThrow(int fd, std::string_view data, const std::string& shownName,
                  const StopCheck& stopRequested) {
  const int error = WriteAll(fd, data, stopRequested);
  if (error == ECANCELED) throw ExportInterrupted();
  if (error != 0)
    throw std::system_error(error, std::generic_category(), "cannot write " + shownName);
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
    for (int attempt = 0; attempt < 100 && !FFd.IsOpen(); ++attempt) {
      char suffix[32];
      std::snprintf(suffix, sizeof suffix, "%08x%08x", random(), random());
      FPath = folder + "/.parvolane-export-" + suffix + ".tmp";
      // 0666 so that the umask decides, as for any file the user creates.
      FFd.Reset(::open(FPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
      if (!FFd.IsOpen() && errno != EEXIST) break;
    }
    if (!FFd.IsOpen()) ThrowWriteError(errno, FTarget);
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    FFd.Reset();
    if (!FCommitted) ::unlink(FPath.c_str());
  }

  // Replacing a file keeps the permissions the user gave it.
  void KeepModeOfTarget() {
    struct stat st {};
    if (::stat(FTarget.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
    if (::fchmod(FFd.get(), st.st_mode & 07777) != 0) ThrowWriteError(errno, FTarget);
  }

  void Write(std::string_view data, const StopCheck& stopRequested) {
    WriteOrThrow(FFd.get(), data, "'" + FTarget + "'", stopRequested);
  }

  void Commit() {
    // A failed close can be the first report of a failed write (a full disk on some file
    // systems), so it counts like one.
    if (!FFd.Close()) ThrowWriteError(errno, FTarget);
    if (::rename(FPath.c_str(), FTarget.c_str()) != 0) ThrowWriteError(errno, FTarget);
    FCommitted = true;
  }

 private:
  std::string FTarget;
  std::string FPath;
  UniqueFd FFd;
  bool FCommitted = false;
};

// The rule of the kernel's protected_symlinks: in a sticky folder that everyone may write to
// (such as /tmp), a link is only followed when it belongs to the user or to the folder's
// owner, so that nobody can plant a link there that makes the export replace another file.
void CheckLinkMayBeFollowed(const std::string& link, const struct stat& linkStat) {
  struct stat folder {};
  if (::stat(FolderOf(link).c_str(), &folder) != 0) ThrowWriteError(errno, link);
  const bool shared = (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0;
  if (!shared || linkStat.st_uid == ::geteuid() || linkStat.st_uid == folder.st_uid) return;
  Refuse(link,
         "it is a symbolic link that another user made in a shared folder; it is not followed");
}

std::string LinkTargetOf(const std::string& link, off_t sizeHint) {
  std::string text(static_cast<size_t>(sizeHint > 0 ? sizeHint : PATH_MAX) + 1, '\0');
  const ssize_t n = ::readlink(link.c_str(), text.data(), text.size());
  if (n < 0) ThrowWriteError(errno, link);
  text.resize(static_cast<size_t>(n));
  if (!text.empty() && text[0] == '/') return text;
  return FolderOf(link) + "/" + text;
}

// A link is written through: the file it names is replaced, the link stays. A dangling link is
// replaced by the file.
std::string ResolveLink(const std::string& fileName) {
  std::string path = fileName;
  for (int hop = 0; hop < 40; ++hop) {  // the kernel's own limit on links in a row
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT && hop > 0 ? fileName : path;
    if (!S_ISLNK(st.st_mode)) return path;
    CheckLinkMayBeFollowed(path, st);
    path = LinkTargetOf(path, st.st_size);
  }
  ThrowWriteError(ELOOP, fileName);
}

// A device or a pipe (/dev/null, /dev/stdout, a FIFO) is written into: renaming a file over it
// would destroy it.
bool IsSpecialFile(const std::string& fileName) {
  struct stat st {};
  return ::stat(fileName.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
}

// Opening a pipe that nobody reads would wait for a reader for ever: it is opened without
// waiting and refused, and written with waiting writes once a reader is there.
UniqueFd OpenSpecialFile(const std::string& fileName) {
  UniqueFd fd(::open(fileName.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd.IsOpen()) {
    if (errno == ENXIO) Refuse(fileName, "it is a pipe that no program is reading from");
    ThrowWriteError(errno, fileName);
  }
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    ThrowWriteError(errno, fileName);
  }
  return fd;
}

void WriteInPlace(const std::string& fileName, std::string_view data,
                  const StopCheck& stopRequested) {
  UniqueFd fd = OpenSpecialFile(fileName);
  WriteOrThrow(fd.get(), data, "'" + fileName + "'", stopRequested);
  if (!fd.Close()) ThrowWriteError(errno, fileName);
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
    const std::vector<std::string> texts = RowTexts(row);
    AppendQuoted(out, texts[0]);
    for (size_t c = 1; c < texts.size(); ++c) {
      out += ',';
      AppendQuoted(out, texts[c]);
    }
    out += kLineEnd;
  }
  return out;
}

void ExportListViewToCsv(const ResultList& list, const std::string& fileName,
                         const StopCheck& stopRequested) {
  WriteTextToTarget(ListViewCsvText(list), fileName, stopRequested);
}

void WriteCsvToDescriptor(const ResultList& list, int fd, const std::string& shownName,
                          const StopCheck& stopRequested) {
  WriteTextToDescriptor(ListViewCsvText(list), fd, shownName, stopRequested);
}

void WriteTextToTarget(std::string_view text, const std::string& fileName,
                       const StopCheck& stopRequested) {
  const std::string target = ResolveLink(fileName);
  if (IsSpecialFile(target)) {
    WriteInPlace(target, text, stopRequested);
    return;
  }
  TempFile file(target);
  file.KeepModeOfTarget();
  file.Write(text, stopRequested);
  file.Commit();
}

void WriteTextToDescriptor(std::string_view text, int fd, const std::string& shownName,
                           const StopCheck& stopRequested) {
  WriteOrThrow(fd, text, shownName, stopRequested);
}

}  // namespace parvolane
