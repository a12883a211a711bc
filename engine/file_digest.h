#pragma once

#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "engine/file_info.h"
#include "engine/scan_reporter.h"
#include "platform/posix/unique_fd.h"

namespace parvolane {

/// Reading and digesting single files for the hashing stage.

using ReadBuffer = std::vector<std::byte>;

/// An open file descriptor, closed when it goes.
using FileDescriptor = UniqueFd;

/// Thrown when the stage gives up on a file half read; the record keeps an empty hash.
struct HashingAbandoned final : std::exception {
  const char* what() const noexcept override { return "hashing abandoned"; }
};

/// The bytes read of a few files, added to a count that the stage shows; never more than the
/// files' recorded sizes, however often a file is read, and exactly those once finished.
/// Threading: one object per thread; the shared count may be read from any thread.
class ByteTally final {
 public:
  ByteTally() = default;
  ByteTally(std::atomic<int64_t>* shared, int64_t expected) : FShared(shared), FLeft(expected) {}

  void Add(size_t bytes) {
    const int64_t counted = std::min<int64_t>(FLeft, static_cast<int64_t>(bytes));
    if (FShared == nullptr || counted <= 0) return;
    FLeft -= counted;
    FShared->fetch_add(counted, std::memory_order_relaxed);
  }
  /// Counts what was not read of the files' sizes (a file settled early, gone, or shrunk).
  void Finish() { Add(static_cast<size_t>(std::max<int64_t>(FLeft, 0))); }

 private:
  std::atomic<int64_t>* FShared = nullptr;
  int64_t FLeft = 0;
};

/// What reading looks at before every block: the scan's stop flag, the stage's own request to
/// give up, and where to count the bytes. Each part may be absent.
struct BlockWatch {
  const ScanReporter* Reporter = nullptr;
  std::stop_token Abandon;
  ByteTally* Tally = nullptr;

  bool StopRequested() const {
    return Abandon.stop_requested() || (Reporter != nullptr && Reporter->IsStopRequested());
  }
  /// Errors: HashingAbandoned when a stop was requested.
  void Check() const {
    if (StopRequested()) throw HashingAbandoned();
  }
  void Count(size_t bytes) const {
    if (Tally != nullptr) Tally->Add(bytes);
  }
};

/// Opens nothing but a regular file, whatever the length of its path, and never waits (a FIFO
/// or a device put in a file's place is refused, and so is a link). Not open when no file
/// exists at the path. `advice` is a posix_fadvise advice. Errors: std::system_error.
FileDescriptor OpenRegularFile(const std::string& path, int advice);

/// Reads until the buffer is full or the file ends; the bytes read.
/// Errors: std::system_error.
size_t ReadFull(int fd, std::span<std::byte> buffer, const std::string& path);

/// SHA-1 of the bytes as 40 lower-case hexadecimal digits.
std::string Sha1Hex(std::string_view bytes);

/// SHA-1 of the whole file as 40 lower-case hexadecimal digits, empty when no file exists.
/// Errors: std::system_error; HashingAbandoned when `watch` asks to stop before a block.
std::string HashFile(const std::string& path, std::span<std::byte> buffer, const BlockWatch& watch);

/// A digest of the first and last blocks of a file opened already (not a cryptographic one);
/// nothing when they cannot be read.
std::optional<size_t> EdgeBlocksSignatureOf(const FileDescriptor& file, const TFileInfo& record,
                                            std::span<std::byte> buffer);
/// The same for several records at once, into `signatures` (as many as records); the reads are
/// announced to the kernel together first, which matters on a cold disk. Files not reached
/// before a stop keep nothing.
void EdgeBlocksSignatures(std::span<TFileInfo* const> records, std::span<std::byte> buffer,
                          std::span<std::optional<size_t>> signatures, const BlockWatch& watch);

/// SHA-1 of the first file that can be read, and of every other whose bytes all equal it;
/// those are read side by side with it, and only the first is digested. The result holds one
/// text per path: the digest, or nothing for a file that differs or cannot be read.
/// Errors: HashingAbandoned.
std::vector<std::optional<std::string>> HashAlike(const std::vector<const std::string*>& paths,
                                                  std::span<std::byte> firstBuffer,
                                                  std::span<std::byte> otherBuffer,
                                                  const BlockWatch& watch);

}  // namespace parvolane
