#pragma once

#include <dirent.h>

#include <utility>

#include "platform/posix/unique_fd.h"

namespace parvolane {

/// An open folder listing (DIR*), closed when it goes.
class UniqueDir final {
 public:
  UniqueDir() = default;
  explicit UniqueDir(DIR* dir) : FDir(dir) {}
  UniqueDir(UniqueDir&& other) noexcept : FDir(std::exchange(other.FDir, nullptr)) {}
  UniqueDir& operator=(UniqueDir&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.FDir, nullptr));
    return *this;
  }
  UniqueDir(const UniqueDir&) = delete;
  UniqueDir& operator=(const UniqueDir&) = delete;
  ~UniqueDir() { Reset(); }

  /// Lists the folder open at `fd`, which the listing then owns; when that fails the
  /// descriptor is closed and errno tells why.
  static UniqueDir Adopt(UniqueFd fd);

  DIR* get() const { return FDir; }
  bool IsOpen() const { return FDir != nullptr; }
  /// The listing's own descriptor, for the *at() calls on its entries; -1 when not open.
  int Fd() const;
  /// Closes the current listing (if any) and keeps `dir` instead.
  void Reset(DIR* dir = nullptr);

 private:
  DIR* FDir = nullptr;
};

/// The entries "." and ".." that every listing holds besides its own.
inline bool IsDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

}  // namespace parvolane
