#pragma once

#include <utility>

namespace parvolane {

/// An open file descriptor, closed when it goes.
class UniqueFd final {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : FFd(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : FFd(std::exchange(other.FFd, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.FFd, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(); }

  int get() const { return FFd; }
  bool IsOpen() const { return FFd >= 0; }
  /// Gives the descriptor away; the caller closes it.
  int Release() { return std::exchange(FFd, -1); }
  /// Closes the current descriptor (if any) and keeps `fd` instead.
  void Reset(int fd = -1);
  /// Closes now and reports the close's own result (a failed close can mean lost writes).
  bool Close();

 private:
  int FFd = -1;
};

}  // namespace parvolane
