#include "engine/hashing.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace parvolane {

namespace {

constexpr std::string_view kComputingText = "Computing SHA-1 hashes (size filtered)...";
constexpr std::string_view kStoppingText = "Stopping SHA-1 hashing...";
constexpr auto kPollInterval = std::chrono::milliseconds(30);
constexpr size_t kFirstBlockSize = 4096;

using ReadBuffer = std::vector<std::byte>;

// ---- One file ------------------------------------------------------------------------------

class FileDescriptor final {
 public:
  explicit FileDescriptor(int fd) : FFd(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : FFd(std::exchange(other.FFd, -1)) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  FileDescriptor& operator=(FileDescriptor&&) = delete;
  ~FileDescriptor() {
    if (FFd >= 0) ::close(FFd);
  }
  int get() const { return FFd; }
  bool IsOpen() const { return FFd >= 0; }

 private:
  int FFd;
};

struct DigestContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextFree>;

// Thrown when the stage gives up on a file half read; the record keeps an empty hash.
struct HashingAbandoned final : std::exception {
  const char* what() const noexcept override { return "hashing abandoned"; }
};

std::system_error FileError(int error, std::string_view operation, const std::string& path) {
  return std::system_error(error, std::generic_category(),
                           "cannot " + std::string(operation) + " '" + path + "'");
}

void RequireDigestStep(int result) {
  if (result != 1) throw std::runtime_error("SHA-1 digest failed");
}

// Opens nothing but a regular file, and never waits: a FIFO or a device put in a file's place
// opens at once (O_NONBLOCK) and is refused after the fstat. Not open when no file exists.
// `advice` tells the kernel how the file will be read.
FileDescriptor OpenRegularFile(const std::string& path, int advice) {
  FileDescriptor file(
      ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
  if (!file.IsOpen()) {
    if (errno == ENOENT || errno == ENOTDIR) return file;
    throw FileError(errno, "open", path);
  }
  struct stat st {};
  if (::fstat(file.get(), &st) != 0) throw FileError(errno, "query", path);
  if (!S_ISREG(st.st_mode)) throw FileError(EINVAL, "hash a non-regular file", path);
  // Some file systems honour O_NONBLOCK on regular files too, and reads must wait for the
  // data: clear it (the only status flag that was set).
  if (::fcntl(file.get(), F_SETFL, 0) != 0) throw FileError(errno, "set up", path);
  ::posix_fadvise(file.get(), 0, 0, advice);
  return file;
}

// One read into the buffer: the number of bytes, 0 at the end of the file.
size_t ReadSome(int fd, std::span<std::byte> buffer, const std::string& path) {
  for (;;) {
    const ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got >= 0) return static_cast<size_t>(got);
    if (errno != EINTR) throw FileError(errno, "read", path);
  }
}

void DigestWholeFile(int fd, EVP_MD_CTX* context, std::span<std::byte> buffer,
                     const std::stop_token& abandon, const std::string& path) {
  for (;;) {
    if (abandon.stop_requested()) throw HashingAbandoned();
    const size_t got = ReadSome(fd, buffer, path);
    if (got == 0) return;
    RequireDigestStep(EVP_DigestUpdate(context, buffer.data(), got));
  }
}

std::string HexText(const unsigned char* bytes, unsigned count) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text(size_t{count} * 2, '\0');
  for (unsigned i = 0; i < count; ++i) {
    text[2 * i] = kDigits[bytes[i] >> 4];
    text[2 * i + 1] = kDigits[bytes[i] & 0x0F];
  }
  return text;
}

// `abandon` lets the parallel stage give up between two blocks of a large file when it has to
// leave in a hurry (an error on the user-interface thread).
std::string HashFile(const std::string& path, std::span<std::byte> buffer,
                     const std::stop_token& abandon) {
  if (buffer.empty()) throw std::invalid_argument("empty read buffer");
  const FileDescriptor file = OpenRegularFile(path, POSIX_FADV_SEQUENTIAL);
  if (!file.IsOpen()) return {};

  const DigestContext context(EVP_MD_CTX_new());
  if (!context) throw std::bad_alloc();
  RequireDigestStep(EVP_DigestInit_ex(context.get(), EVP_sha1(), nullptr));
  DigestWholeFile(file.get(), context.get(), buffer, abandon, path);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned length = 0;
  RequireDigestStep(EVP_DigestFinal_ex(context.get(), digest, &length));
  return HexText(digest, length);
}

// The same in both modes: a file that cannot be hashed leaves an empty hash, and nothing
// stops the stage.
void HashRecord(TFileInfo& record, std::span<std::byte> buffer, const std::stop_token& abandon) {
  if (!record.ContentHash.empty()) return;
  try {
    record.ContentHash = HashFile(record.FullPath, buffer, abandon);
  } catch (...) {
    record.ContentHash.clear();
  }
}

// ---- First-block check ---------------------------------------------------------------------

// A digest of the file's first block; nothing when the file cannot be read. Only that block
// is fetched (no read-ahead), since most files checked this way are never read again.
std::optional<size_t> FirstBlockSignature(const std::string& path, std::span<std::byte> buffer) {
  try {
    const FileDescriptor file = OpenRegularFile(path, POSIX_FADV_RANDOM);
    if (!file.IsOpen()) return std::nullopt;
    const std::span<std::byte> block = buffer.first(std::min(buffer.size(), kFirstBlockSize));
    size_t filled = 0;
    while (filled < block.size()) {
      const size_t got = ReadSome(file.get(), block.subspan(filled), path);
      if (got == 0) break;
      filled += got;
    }
    return std::hash<std::string_view>()(
        std::string_view(reinterpret_cast<const char*>(block.data()), filled));
  } catch (...) {
    return std::nullopt;
  }
}

// Files of one size can only be equal when their first blocks are. So before the first file
// of a size is hashed, the first block of every file of that size is read, and a file whose
// first block is unlike every other's is never read in full: it keeps an empty hash, as a file
// without a twin forms no group anyway. Signatures that collide only cost a full read.
// Smaller files are hashed at once: for them the extra read per file costs more, on a cold
// disk, than the full reads it may save.
class TwinCandidates final {
 public:
  explicit TwinCandidates(const std::vector<TFileInfo*>& hashTargets)
      : FTargets(hashTargets), FBucketOf(hashTargets.size()), FMayHaveTwin(hashTargets.size(), 1) {
    // The targets are whole buckets one after another, and neighbouring buckets differ in size.
    for (size_t i = 0; i < hashTargets.size(); ++i) {
      if (i == 0 || hashTargets[i]->Size != hashTargets[i - 1]->Size) {
        FBuckets.emplace_back().Begin = i;
      }
      FBuckets.back().End = i + 1;
      FBucketOf[i] = FBuckets.size() - 1;
    }
  }
  TwinCandidates(const TwinCandidates&) = delete;
  TwinCandidates& operator=(const TwinCandidates&) = delete;

  // Threading: any thread. The first call for a size checks that size's files; other calls
  // for the same size wait for that check.
  bool MayHaveTwin(size_t index, std::span<std::byte> buffer, const std::stop_token& abandon) {
    if (FTargets[index]->Size < kFirstBlockCheckFrom) return true;
    Bucket& bucket = FBuckets[FBucketOf[index]];
    std::call_once(bucket.Checked, [&] { CheckBucket(bucket, buffer, abandon); });
    return FMayHaveTwin[index] != 0;
  }

 private:
  struct Bucket {
    size_t Begin = 0;
    size_t End = 0;
    std::once_flag Checked;
  };

  // Writes FMayHaveTwin of this bucket's records only; call_once publishes it.
  void CheckBucket(const Bucket& bucket, std::span<std::byte> buffer,
                   const std::stop_token& abandon) noexcept {
    try {
      std::vector<std::optional<size_t>> signatures;
      std::unordered_map<size_t, size_t> counts;
      for (size_t i = bucket.Begin; i < bucket.End; ++i) {
        if (abandon.stop_requested()) return;
        signatures.push_back(FirstBlockSignature(FTargets[i]->FullPath, buffer));
        if (signatures.back()) ++counts[*signatures.back()];
      }
      for (size_t k = 0; k < signatures.size(); ++k) {
        if (signatures[k] && counts.find(*signatures[k])->second == 1) {
          FMayHaveTwin[bucket.Begin + k] = 0;
        }
      }
    } catch (...) {
      // Left unchecked, every file of the size is hashed.
    }
  }

  const std::vector<TFileInfo*>& FTargets;
  std::vector<size_t> FBucketOf;      // by target index
  std::vector<uint8_t> FMayHaveTwin;  // by target index (not vector<bool>: threads share it)
  std::deque<Bucket> FBuckets;        // a deque, since a once_flag never moves
};

// Processing one claimed record, the same in both modes.
void ProcessTarget(const std::vector<TFileInfo*>& hashTargets, TwinCandidates& candidates,
                   size_t index, std::span<std::byte> buffer, const std::stop_token& abandon) {
  if (candidates.MayHaveTwin(index, buffer, abandon)) {
    HashRecord(*hashTargets[index], buffer, abandon);
  }
}

// ---- Progress ------------------------------------------------------------------------------

int32_t ToProgress(size_t count) {
  return static_cast<int32_t>(std::min<size_t>(count, INT32_MAX));
}

std::string CountText(std::string_view prefix, size_t done, size_t total) {
  return std::string(prefix) + " " + std::to_string(done) + " / " + std::to_string(total);
}

// ---- Size filter ---------------------------------------------------------------------------

// Largest sizes first: in parallel mode a big file then never runs alone at the end.
using SizeBuckets = std::map<int64_t, std::vector<TFileInfo*>, std::greater<>>;

SizeBuckets BucketBySize(const TFileList& files, const ScanReporter& reporter) {
  SizeBuckets buckets;
  for (const auto& record : files) {
    if (reporter.IsStopRequested()) break;
    if (record->Size < 1) continue;
    buckets[record->Size].push_back(record.get());
  }
  return buckets;
}

std::vector<TFileInfo*> CollectHashTargets(const SizeBuckets& buckets,
                                           const ScanReporter& reporter) {
  std::vector<TFileInfo*> targets;
  for (const auto& [size, bucket] : buckets) {
    if (reporter.IsStopRequested()) break;
    if (bucket.size() < 2) continue;
    targets.insert(targets.end(), bucket.begin(), bucket.end());
  }
  return targets;
}

// ---- Sequential hashing --------------------------------------------------------------------

void HashSequentially(const std::vector<TFileInfo*>& hashTargets, ScanReporter& reporter) {
  const size_t total = hashTargets.size();
  ReadBuffer buffer(kHashReadBlockSize);
  TwinCandidates candidates(hashTargets);
  reporter.SetProgressPosition(0);
  reporter.SetProgressRange(0, ToProgress(total));
  for (size_t i = 0; i < total; ++i) {
    if (reporter.IsStopRequested()) break;
    ProcessTarget(hashTargets, candidates, i, buffer, {});
    reporter.SetProgressPosition(ToProgress(i + 1));
    if (i % 10 == 0 || i + 1 == total) {
      reporter.ReportStatus(CountText(kComputingText, i + 1, total));
      reporter.PumpEvents();
    }
  }
}

// ---- Parallel hashing ----------------------------------------------------------------------

// The worker tasks of one parallel run. Each claims records through one atomic counter and
// writes only the hashes of the records it claimed. The threads are the last member, so they
// are joined before anything they use goes away; a jthread asks its task to abandon its work
// before the join, which matters only when the stage leaves early through an error.
class HashWorkers final {
 public:
  HashWorkers(const std::vector<TFileInfo*>& hashTargets, const ScanReporter& reporter,
              unsigned count)
      : FTargets(hashTargets),
        FCandidates(hashTargets),
        FReporter(reporter),
        FRunning(count),
        FBuffers(count) {
    for (ReadBuffer& buffer : FBuffers)
      buffer.resize(kHashReadBlockSize);
    FThreads.reserve(count);
    for (unsigned i = 0; i < count; ++i)
      FThreads.emplace_back([this, i](const std::stop_token& abandon) { Run(i, abandon); });
  }
  HashWorkers(const HashWorkers&) = delete;
  HashWorkers& operator=(const HashWorkers&) = delete;

  size_t CompletedCount() const { return FCompletedCount.load(std::memory_order_relaxed); }

  // Taking the lock that every task takes when it finishes makes the hashes the tasks wrote
  // visible to the caller once it has seen them all finished.
  bool AllFinished() const {
    const std::lock_guard lock(FMutex);
    return FRunning == 0;
  }

  // Waits for the interval, but returns as soon as the last task finishes, so that the stage
  // does not idle once the work is done.
  void WaitAtMost(std::chrono::milliseconds interval) {
    std::unique_lock lock(FMutex);
    FLastFinished.wait_for(lock, interval, [this] { return FRunning == 0; });
  }

 private:
  void Run(unsigned task, const std::stop_token& abandon) noexcept {
    try {
      ClaimAndHash(FBuffers[task], abandon);
    } catch (...) {
      // A task that fails ends like one that ran out of records.
    }
    const std::lock_guard lock(FMutex);
    if (--FRunning == 0) FLastFinished.notify_all();
  }

  void ClaimAndHash(ReadBuffer& buffer, const std::stop_token& abandon) {
    while (!FReporter.IsStopRequested() && !abandon.stop_requested()) {
      const int64_t index = FNextIndex.fetch_add(1, std::memory_order_relaxed) + 1;
      if (index >= static_cast<int64_t>(FTargets.size())) return;
      ProcessTarget(FTargets, FCandidates, static_cast<size_t>(index), buffer, abandon);
      FCompletedCount.fetch_add(1, std::memory_order_relaxed);
    }
  }

  const std::vector<TFileInfo*>& FTargets;
  TwinCandidates FCandidates;
  const ScanReporter& FReporter;
  std::atomic<int64_t> FNextIndex{-1};  // the last claimed index
  std::atomic<size_t> FCompletedCount{0};
  mutable std::mutex FMutex;
  std::condition_variable FLastFinished;
  unsigned FRunning;  // tasks not yet finished; guarded by FMutex
  std::vector<ReadBuffer> FBuffers;
  std::vector<std::jthread> FThreads;
};

void HashInParallel(const std::vector<TFileInfo*>& hashTargets, ScanReporter& reporter,
                    unsigned workerCount) {
  const size_t total = hashTargets.size();
  reporter.SetProgressMarquee(false);
  reporter.SetProgressRange(0, ToProgress(total));
  reporter.SetProgressPosition(0);
  HashWorkers workers(hashTargets, reporter, workerCount);

  // The user-interface thread only watches. The pass that finds every task finished is the
  // last, so the status written before it may show a count below the total.
  for (;;) {
    const size_t completed = workers.CompletedCount();
    reporter.SetProgressPosition(ToProgress(completed));
    reporter.ReportStatus(
        CountText(reporter.IsStopRequested() ? kStoppingText : kComputingText, completed, total));
    reporter.PumpEvents();
    if (workers.AllFinished()) break;
    workers.WaitAtMost(kPollInterval);
  }
  reporter.SetProgressPosition(ToProgress(workers.CompletedCount()));
}

unsigned ProcessorCount() {
  return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace

std::string HashFileSHA1(const std::string& path, std::span<std::byte> buffer) {
  return HashFile(path, buffer, {});
}

std::string HashFileSHA1(const std::string& path) {
  ReadBuffer buffer(kHashReadBlockSize);
  return HashFileSHA1(path, buffer);
}

void ComputeAllHashes(ScanState& state, ScanReporter& reporter) {
  ComputeAllHashes(state, reporter, ProcessorCount());
}

void ComputeAllHashes(ScanState& state, ScanReporter& reporter, unsigned workerCount) {
  if (state.FFiles.empty()) return;
  reporter.ReportStatus(std::string(kComputingText));
  reporter.PumpEvents();

  const std::vector<TFileInfo*> hashTargets =
      CollectHashTargets(BucketBySize(state.FFiles, reporter), reporter);
  if (hashTargets.empty() || reporter.IsStopRequested()) {
    reporter.SetProgressPosition(0);
    return;
  }

  if (reporter.CurrentSettings().ParallelHashing) {
    HashInParallel(hashTargets, reporter, std::max(1u, workerCount));
  } else {
    HashSequentially(hashTargets, reporter);
  }
  reporter.SetProgressPosition(0);
}

}  // namespace parvolane
