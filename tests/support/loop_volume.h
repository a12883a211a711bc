#pragma once

#include <string>

#include "support/temp_tree.h"

namespace parvolane::testing {

/// A small ext4 volume of its own (an image file on a loop device) mounted for one test: a
/// stick or a second disk that can be made read-only or full. Needs root and loop devices;
/// Ready() is false where either is missing, and the test should skip.
class LoopVolume final {
 public:
  LoopVolume();
  LoopVolume(const LoopVolume&) = delete;
  LoopVolume& operator=(const LoopVolume&) = delete;
  ~LoopVolume();

  bool Ready() const { return FMounted; }
  /// The mount point, without a trailing '/'.
  const std::string& Top() const { return FTop; }
  /// Top() + "/" + relative.
  std::string Path(const std::string& relative) const { return FTop + "/" + relative; }
  /// Writes a file on the volume (parents created) and returns its full path.
  std::string File(const std::string& relative, const std::string& content);

  bool RemountReadOnly();
  bool RemountWritable();
  /// Fills the volume until `freeBlocks` blocks of 1 KiB are left.
  bool FillLeaving(int freeBlocks);

 private:
  TempTree FTree;
  std::string FTop;
  bool FMounted = false;
};

}  // namespace parvolane::testing
