#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace parvolane {

/// A file descriptor that is closed when it goes out of scope.
class UniqueFd final {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : FFd(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : FFd(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(); }

  int Get() const { return FFd; }
  int Release();
  /// Closes the descriptor; the result of close().
  int Reset();

 private:
  int FFd = -1;
};

/// The per-user folder that the installer is saved in: "parvolane" under $XDG_RUNTIME_DIR, or
/// under $XDG_CACHE_HOME (~/.cache) when there is no runtime folder. Never the shared temporary
/// folder, where another user could plant a file or a link under the installer's name.
class PrivateFolder final {
 public:
  /// Creates the folder (mode 0700) when it is missing and opens it. Refuses a folder that is a
  /// link, belongs to someone else or is open to others. Throws UpdateError.
  static PrivateFolder Open();

  const std::string& Path() const { return FPath; }
  int Fd() const { return FFd.Get(); }

 private:
  PrivateFolder(std::string path, UniqueFd fd) : FPath(std::move(path)), FFd(std::move(fd)) {}

  std::string FPath;
  UniqueFd FFd;
};

/// The downloaded installer, written as it arrives.
class InstallerFile final {
 public:
  /// Creates the file, or truncates the one left by an earlier attempt; refuses a link or
  /// anything but a plain file. Throws UpdateError.
  InstallerFile(const PrivateFolder& folder, std::string name);

  const std::string& Path() const { return FPath; }
  /// Throws UpdateError when the data cannot be written whole.
  void Write(std::string_view data);
  /// Closes the file; throws UpdateError when the last writes failed.
  void Close();
  /// True when the folder still holds the very file that was written, so that only that file
  /// is ever started.
  bool StillThere() const;

 private:
  const PrivateFolder& FFolder;
  std::string FName;
  std::string FPath;
  UniqueFd FFd;
  dev_t FDevice = 0;
  ino_t FInode = 0;
};

}  // namespace parvolane
