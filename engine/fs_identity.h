#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>

namespace parvolane {

/// The lasting name of the file system that holds `filePath` (whose device number is
/// `device`), for the hash cache: its type and UUID (or the file system id the kernel derives
/// from it), and for a disk image behind a loop device the image file too. Nothing for a file
/// system whose inode numbers or identity do not survive an unmount (tmpfs, overlay, FUSE,
/// network file systems, FAT, ...), or when no identity can be found: such files are never
/// cached, since a device number alone comes back for another disk.
/// Errors: none; any failure means "no identity".
std::optional<std::string> FileSystemIdentityOf(const std::string& filePath, uint64_t device);

/// The identities of the file systems of one scan, each resolved once per device.
/// Threading: one thread at a time.
class FileSystemIdentities final {
 public:
  /// How an identity is found; tests give their own in place of FileSystemIdentityOf.
  using Resolver =
      std::function<std::optional<std::string>(const std::string& filePath, uint64_t device)>;

  explicit FileSystemIdentities(Resolver resolver = FileSystemIdentityOf)
      : FResolver(std::move(resolver)) {}

  /// The identity of the file system of a file at `filePath` on `device` (nothing: not cached).
  const std::optional<std::string>& Of(const std::string& filePath, uint64_t device);

 private:
  Resolver FResolver;
  std::unordered_map<uint64_t, std::optional<std::string>> FByDevice;
};

}  // namespace parvolane
