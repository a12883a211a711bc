#include "support/loop_volume.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string_view>

#include "platform/posix/unique_fd.h"

namespace parvolane::testing {

namespace {

// Large enough for a journal and a few files, small enough to fill at once.
constexpr std::string_view kImageSize = "8M";

std::string Quoted(const std::string& text) {
  std::string out = "'";
  for (const char c : text)
    out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

bool Run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

/// Writes `path` in pieces of `piece` bytes until the volume refuses more.
void WriteUntilFull(const std::string& path, size_t piece) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  const std::string bytes(piece, 'f');
  while (fd.IsOpen() && ::write(fd.get(), bytes.data(), bytes.size()) > 0) {
  }
  if (fd.IsOpen()) ::fsync(fd.get());
}

}  // namespace

LoopVolume::LoopVolume() : FTop(FTree.Dir("mnt")) {
  if (::geteuid() != 0) return;
  const std::string image = FTree.Path("volume.img");
  // 1 KiB blocks, so that FillLeaving counts what a folder or a small file takes.
  FMounted = Run("truncate -s " + std::string(kImageSize) + " " + Quoted(image)) &&
             Run("mkfs.ext4 -q -F -b 1024 " + Quoted(image)) &&
             Run("mount -o loop " + Quoted(image) + " " + Quoted(FTop));
}

LoopVolume::~LoopVolume() {
  if (FMounted && ::umount(FTop.c_str()) != 0) ::umount2(FTop.c_str(), MNT_DETACH);
}

std::string LoopVolume::File(const std::string& relative, const std::string& content) {
  const std::string path = Path(relative);
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << content;
  return path;
}

bool LoopVolume::RemountReadOnly() {
  ::sync();
  return ::mount(nullptr, FTop.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
}

bool LoopVolume::RemountWritable() {
  return ::mount(nullptr, FTop.c_str(), nullptr, MS_REMOUNT, nullptr) == 0;
}

bool LoopVolume::FillLeaving(int freeBlocks) {
  const std::string spare = Path("spare");
  std::ofstream(spare, std::ios::binary)
      << std::string(static_cast<size_t>(freeBlocks) * 1024, 's');
  ::sync();
  // Large pieces first, then ever smaller ones for the last partly free blocks.
  for (const size_t piece : {size_t{65536}, size_t{1024}, size_t{1}})
    WriteUntilFull(Path("fill-" + std::to_string(piece)), piece);
  ::sync();
  const bool freed = ::unlink(spare.c_str()) == 0;
  ::sync();
  return freed;
}

}  // namespace parvolane::testing
