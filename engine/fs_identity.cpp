#include "engine/fs_identity.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <memory>

#include "platform/posix/long_path.h"
#include "platform/posix/unique_fd.h"

namespace parvolane {

namespace {

// File systems whose inode numbers are stored on the disk (so they name the same file after a
// remount) and whose status-change times have nanoseconds. Anything else makes up its inode
// numbers at mount time or cannot be told apart from another one with the same device number.
constexpr uint32_t kExt = 0xEF53;
constexpr uint32_t kBtrfs = 0x9123683E;
constexpr uint32_t kXfs = 0x58465342;
constexpr uint32_t kBcachefs = 0xCA451A4E;
constexpr uint32_t kF2fs = 0xF2F52010;
constexpr uint32_t kZfs = 0x2FC12FC1;
constexpr uint32_t kJfs = 0x3153464A;
constexpr uint32_t kNilfs2 = 0x3434;
constexpr uint32_t kReiserfs = 0x52654973;
constexpr uint32_t kNtfs3 = 0x7366746E;
constexpr std::array<uint32_t, 10> kStableTypes = {kExt, kBtrfs, kXfs,    kBcachefs, kF2fs,
                                                   kZfs, kJfs,   kNilfs2, kReiserfs, kNtfs3};

// The file system UUID query of Linux 6.5, declared here since older headers lack it.
struct FsUuid2 {
  uint8_t Len;
  uint8_t Uuid[16];
};
constexpr unsigned long kGetFsUuid = _IOR(0x15, 0, FsUuid2);
constexpr int kLoopMajor = 7;

std::string Hex(uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(value));
  return text;
}

std::string UuidText(const uint8_t* bytes, size_t length) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < length; ++i) {
    if (length == 16 && (i == 4 || i == 6 || i == 8 || i == 10)) text += '-';
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0xF];
  }
  return text;
}

// (a) What the kernel reports for the file system itself; all zeros means "none".
std::optional<std::string> UuidFromKernel(int folderFd) {
  FsUuid2 answer{};
  if (::ioctl(folderFd, kGetFsUuid, &answer) != 0) return std::nullopt;
  const size_t length = std::min<size_t>(answer.Len, sizeof answer.Uuid);
  const auto end = answer.Uuid + length;
  if (std::all_of(answer.Uuid, end, [](uint8_t b) { return b == 0; })) return std::nullopt;
  return UuidText(answer.Uuid, length);
}

// (b) The desktop's device manager names each block device by its file system's UUID.
std::optional<std::string> UuidFromDeviceLinks(uint64_t device) {
  constexpr const char* kFolder = "/dev/disk/by-uuid";
  std::unique_ptr<DIR, int (*)(DIR*)> folder(::opendir(kFolder), ::closedir);
  if (folder == nullptr) return std::nullopt;
  while (const dirent* entry = ::readdir(folder.get())) {
    if (entry->d_name[0] == '.') continue;
    struct stat st {};
    if (::fstatat(::dirfd(folder.get()), entry->d_name, &st, 0) == 0 && S_ISBLK(st.st_mode) &&
        st.st_rdev == device) {
      std::string name = entry->d_name;
      std::transform(name.begin(), name.end(), name.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      return name;
    }
  }
  return std::nullopt;
}

uint64_t FsidOf(const struct statfs& fs) {
  return (static_cast<uint64_t>(static_cast<uint32_t>(fs.f_fsid.__val[1])) << 32) |
         static_cast<uint32_t>(fs.f_fsid.__val[0]);
}

// (c) ext2/3/4 and btrfs derive their file system id from the UUID; others from the device
// number, which is what must not be trusted.
std::optional<std::string> UuidFromFsid(const struct statfs& fs, uint32_t type) {
  const uint64_t fsid = FsidOf(fs);
  if ((type != kExt && type != kBtrfs) || fsid == 0) return std::nullopt;
  return "fsid-" + Hex(fsid);
}

std::string ReadLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// The sysfs folder of a loop device, or of the loop device a partition belongs to; empty when
// `device` is no loop device.
std::string LoopFolderOf(uint64_t device) {
  const std::string block =
      "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
  for (const std::string& folder : {block, block + "/.."}) {
    if (::access((folder + "/loop/backing_file").c_str(), F_OK) == 0) return folder;
  }
  return {};
}

// The kernel's own word on which file backs the loop device, where the device can be opened:
// a path that now names another file must not stand for the image.
bool LoopBacksWith(const std::string& loopFolder, uint64_t imageDevice, uint64_t imageInode) {
  std::string devName;
  std::ifstream uevent(loopFolder + "/uevent");
  for (std::string line; std::getline(uevent, line);) {
    if (line.rfind("DEVNAME=", 0) == 0) devName = line.substr(8);
  }
  if (devName.empty()) return true;
  const UniqueFd loop(::open(("/dev/" + devName).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  loop_info64 info{};
  if (!loop.IsOpen() || ::ioctl(loop.get(), LOOP_GET_STATUS64, &info) != 0) return true;
  return info.lo_inode == imageInode && info.lo_device == imageDevice;
}

bool EndsWith(std::string_view text, std::string_view end) {
  return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

// The image file behind a loop device: "|image:" and its device, inode, birth time and path.
// Nothing when `device` is no loop device; `unknown` when it is one whose image cannot be
// named (gone, or out of sight of this process).
std::optional<std::string> LoopImageOf(uint64_t device, bool& unknown) {
  const std::string folder = LoopFolderOf(device);
  unknown = folder.empty() && major(device) == kLoopMajor;
  if (folder.empty()) return std::nullopt;
  const std::string image = ReadLine(folder + "/loop/backing_file");
  struct statx sx {};
  unknown = image.empty() || image.front() != '/' || EndsWith(image, " (deleted)") ||
            ::statx(AT_FDCWD, image.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0;
  const uint64_t imageDevice = makedev(sx.stx_dev_major, sx.stx_dev_minor);
  unknown = unknown || !LoopBacksWith(folder, imageDevice, sx.stx_ino);
  if (unknown) return std::nullopt;
  const int64_t birth = (sx.stx_mask & STATX_BTIME) != 0
                            ? sx.stx_btime.tv_sec * 1000000000LL + sx.stx_btime.tv_nsec
                            : 0;
  return "|image:" + Hex(imageDevice) + ":" + Hex(sx.stx_ino) + ":" + std::to_string(birth) + ":" +
         image;
}

std::optional<std::string> IdentityOfFolder(int folderFd, uint64_t device) {
  struct statfs fs {};
  if (::fstatfs(folderFd, &fs) != 0) return std::nullopt;
  const auto type = static_cast<uint32_t>(fs.f_type);
  if (std::find(kStableTypes.begin(), kStableTypes.end(), type) == kStableTypes.end()) {
    return std::nullopt;
  }
  std::optional<std::string> uuid = UuidFromKernel(folderFd);
  if (!uuid) uuid = UuidFromDeviceLinks(device);
  if (!uuid) uuid = UuidFromFsid(fs, type);
  if (!uuid) return std::nullopt;
  std::string identity = Hex(type) + ":" + *uuid;
  // Subvolumes share the UUID and number their inodes each on their own; btrfs mixes the
  // subvolume into its file system id. For bcachefs only the device number tells them apart.
  if (type == kBtrfs) identity += "|subvolume:" + Hex(FsidOf(fs));
  if (type == kBcachefs) identity += "|device:" + Hex(device);
  // A block-level copy of a disk image has the image's UUID, and on the same loop device its
  // device number too: only the image file tells them apart.
  bool unknownImage = false;
  const std::optional<std::string> image = LoopImageOf(device, unknownImage);
  if (unknownImage) return std::nullopt;
  return image ? identity + *image : identity;
}

}  // namespace

std::optional<std::string> FileSystemIdentityOf(const std::string& filePath, uint64_t device) {
  const ParentAndName at = OpenParentOf(filePath);
  struct stat st {};
  // A file mounted over another one lies on another file system than its folder.
  if (!at.Parent.IsOpen() || ::fstat(at.Parent.get(), &st) != 0 || st.st_dev != device) {
    return std::nullopt;
  }
  return IdentityOfFolder(at.Parent.get(), device);
}

const std::optional<std::string>& FileSystemIdentities::Of(const std::string& filePath,
                                                           uint64_t device) {
  const auto found = FByDevice.find(device);
  if (found != FByDevice.end()) return found->second;
  return FByDevice.emplace(device, FResolver(filePath, device)).first->second;
}

}  // namespace parvolane
