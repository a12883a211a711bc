#pragma once

#include <cstdint>
#include <string>

namespace parvolane::testing {

/// A folder tree in a fresh temporary folder, removed with everything below it at the end
/// (permissions are restored first, so unreadable folders go too).
class TempTree final {
 public:
  TempTree();
  /// A tree in `base` instead of the usual temporary folder.
  explicit TempTree(const std::string& base);
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;
  ~TempTree();

  /// The root, without a trailing '/'.
  const std::string& Root() const { return FRoot; }
  /// Root() + "/" + relative.
  std::string Path(const std::string& relative) const;

  /// Writes a file (parents created) and returns its full path.
  std::string File(const std::string& relative, const std::string& content);
  /// Writes a file of `size` bytes filled from `seed` (same size and seed: same content).
  std::string FileOfSize(const std::string& relative, int64_t size, unsigned seed = 0);
  std::string Dir(const std::string& relative);
  std::string Symlink(const std::string& relative, const std::string& target);
  std::string HardLink(const std::string& relative, const std::string& existing);

 private:
  std::string FRoot;
};

/// Memory (/dev/shm) when it can be written, else the temporary folder: a disk with a journal
/// makes deep or large trees far more slowly.
std::string FastTempBase();

/// Removes a tree, restoring permissions on the way.
void RemoveTree(const std::string& path);

/// The whole content of a file, byte for byte; empty when it cannot be read.
std::string ReadFileText(const std::string& path);
/// Everything readable from `fd` until the end or an error (a pipe's other side closed).
std::string ReadAllFrom(int fd);

}  // namespace parvolane::testing
