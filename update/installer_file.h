#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "platform/posix/unique_fd.h"

namespace parvolane {

/// The per-user folder that the installer is saved in: "parvolane" under $XDG_RUNTIME_DIR, or
/// under $XDG_CACHE_HOME (~/.cache) when there is no runtime folder. Never the shared temporary
/// folder, where another user could plant a file or a link under the installer's name.
class PrivateFolder final {
 public:
  /// Creates the folder (mode 0700) when it is missing and opens it. Refuses a folder that is a
  /// link, belongs to someone else or is open to others. Throws UpdateError.
  static PrivateFolder Open();

  const std::string& Path() const { return FPath; }
  int Fd() const { return FFd.get(); }

 private:
  PrivateFolder(std::string path, UniqueFd fd) : FPath(std::move(path)), FFd(std::move(fd)) {}

  std::string FPath;
  UniqueFd FFd;
};

/// The downloaded installer, written as it arrives. It stays behind only once Keep() has
/// found it whole; until then it cannot be executed, and destroying the object removes it, so
/// that a broken or refused download never leaves something that looks like an installer.
class InstallerFile final {
 public:
  /// Creates the file (mode 0600), or truncates the one left by an earlier attempt; refuses a
  /// link or anything but a plain file. Throws UpdateError.
  InstallerFile(const PrivateFolder& folder, std::string name);
  InstallerFile(const InstallerFile&) = delete;
  InstallerFile& operator=(const InstallerFile&) = delete;
  ~InstallerFile();

  const std::string& Path() const { return FPath; }
  /// Throws UpdateError when the data cannot be written whole.
  void Write(std::string_view data);
  /// Closes the file; throws UpdateError when the last writes failed.
  void Close();
  /// True when the folder still holds the very file that was written, so that only that file
  /// is ever started.
  bool StillThere() const;
  /// Makes the closed file executable by its owner and keeps it; to be called only when the
  /// download is known to be complete, right before the file is started. Throws UpdateError
  /// when the file in the folder is no longer exactly what was written.
  void Keep();

 private:
  /// Removes the file, if the folder still holds this very file.
  void Discard() noexcept;

  const PrivateFolder& FFolder;
  std::string FName;
  std::string FPath;
  UniqueFd FFd;
  dev_t FDevice = 0;
  ino_t FInode = 0;
  off_t FWritten = 0;
  bool FKept = false;
};

}  // namespace parvolane
