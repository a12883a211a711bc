#include "engine/hashing.h"

#include "engine/cached_hashes.h"
#include "engine/file_digest.h"

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace parvolane {

namespace {

constexpr std::string_view kComputingText = "Computing SHA-1 hashes (size filtered)...";
constexpr std::string_view kStoppingText = "Stopping SHA-1 hashing...";
constexpr auto kPollInterval = std::chrono::milliseconds(30);
// Files whose edge blocks are fetched together.
constexpr size_t kEdgeCheckBatch = 64;

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

// Files of one size can only be equal when their first and last blocks are. So before the
// first file of a size is hashed, those blocks of every file of that size are read, and a file
// whose blocks are unlike every other's is never read in full: it keeps an empty hash, as a
// file without a twin forms no group anyway. Signatures that collide only cost a full read.
// Files of one block or less are hashed at once: the check would read them whole anyway.
// Sequential hashing meets the targets in order, so the first file of a size checks its size.
class TwinCandidates final {
 public:
  explicit TwinCandidates(const std::vector<TFileInfo*>& hashTargets)
      : FTargets(hashTargets), FMayHaveTwin(hashTargets.size(), true) {}

  bool MayHaveTwin(size_t index, std::span<std::byte> buffer) {
    const int64_t size = FTargets[index]->Size;
    if (size < kFirstBlockCheckFrom) return true;
    if (index == 0 || FTargets[index - 1]->Size != size) CheckSize(index, buffer);
    return FMayHaveTwin[index];
  }

 private:
  void CheckSize(size_t begin, std::span<std::byte> buffer) noexcept {
    size_t end = begin;
    while (end < FTargets.size() && FTargets[end]->Size == FTargets[begin]->Size)
      ++end;
    try {
      std::vector<std::optional<size_t>> signatures(end - begin);
      for (size_t k = begin; k < end; k += kEdgeCheckBatch) {
        const size_t count = std::min(end - k, kEdgeCheckBatch);
        EdgeBlocksSignatures(std::span(FTargets).subspan(k, count), buffer,
                             std::span(signatures).subspan(k - begin, count));
      }
      std::unordered_map<size_t, size_t> counts;
      for (const auto& signature : signatures) {
        if (signature) ++counts[*signature];
      }
      for (size_t k = 0; k < signatures.size(); ++k) {
        if (signatures[k] && counts[*signatures[k]] == 1) FMayHaveTwin[begin + k] = false;
      }
    } catch (...) {
      // Left unchecked, every file of the size is hashed.
    }
  }

  const std::vector<TFileInfo*>& FTargets;
  std::vector<bool> FMayHaveTwin;  // by target index
};

// ---- Progress ------------------------------------------------------------------------------

int32_t ToProgress(size_t count) {
  return static_cast<int32_t>(std::min<size_t>(count, INT32_MAX));
}

std::string CountText(std::string_view prefix, size_t done, size_t total) {
  return std::string(prefix) + " " + std::to_string(done) + " / " + std::to_string(total);
}

// ---- Size filter ---------------------------------------------------------------------------

// The size buckets as one list sorted by size, largest first (in parallel mode a big file then
// never runs alone at the end); a bucket is a run of equal sizes, in collection order. One
// pointer per file, where a map of lists would cost far more at a million files.
using SizeBuckets = std::vector<TFileInfo*>;

SizeBuckets BucketBySize(const TFileList& files, const ScanReporter& reporter) {
  SizeBuckets buckets;
  buckets.reserve(files.size());
  for (const auto& record : files) {
    if (reporter.IsStopRequested()) break;
    if (record->Size < 1) continue;
    buckets.push_back(record.get());
  }
  std::stable_sort(buckets.begin(), buckets.end(),
                   [](const TFileInfo* a, const TFileInfo* b) { return a->Size > b->Size; });
  return buckets;
}

std::vector<TFileInfo*> CollectHashTargets(const SizeBuckets& buckets,
                                           const ScanReporter& reporter) {
  std::vector<TFileInfo*> targets;
  for (size_t begin = 0, end = 0; begin < buckets.size(); begin = end) {
    if (reporter.IsStopRequested()) break;
    for (end = begin + 1; end < buckets.size() && buckets[end]->Size == buckets[begin]->Size;) {
      ++end;
    }
    if (end - begin < 2) continue;
    targets.insert(targets.end(), buckets.begin() + static_cast<ptrdiff_t>(begin),
                   buckets.begin() + static_cast<ptrdiff_t>(end));
  }
  return targets;
}

// ---- Sequential hashing --------------------------------------------------------------------

// Whether processing one target on the calling thread would keep it from handling events for
// long: a large file, or the first file of a large bucket of checked size (whose edge blocks
// are all read before it).
bool TakesLong(const std::vector<TFileInfo*>& hashTargets, size_t index) {
  constexpr int64_t kLargeFile = 8 * 1024 * 1024;
  constexpr size_t kLargeBucket = 64;
  const int64_t size = hashTargets[index]->Size;
  if (size >= kLargeFile) return true;
  if (size < kFirstBlockCheckFrom || (index > 0 && hashTargets[index - 1]->Size == size)) {
    return false;
  }
  size_t end = index;
  while (end < hashTargets.size() && end - index < kLargeBucket && hashTargets[end]->Size == size) {
    ++end;
  }
  return end - index >= kLargeBucket;
}

void HashSequentially(const std::vector<TFileInfo*>& hashTargets, ScanReporter& reporter) {
  const size_t total = hashTargets.size();
  ReadBuffer buffer(kHashReadBlockSize);
  TwinCandidates candidates(hashTargets);
  reporter.SetProgressPosition(0);
  reporter.SetProgressRange(0, ToProgress(total));
  for (size_t i = 0; i < total; ++i) {
    if (reporter.IsStopRequested()) break;
    const auto process = [&] {
      if (candidates.MayHaveTwin(i, buffer)) HashRecord(*hashTargets[i], buffer, {});
    };
    if (TakesLong(hashTargets, i)) {
      reporter.RunBlocking(process);  // the window keeps handling events meanwhile
    } else {
      process();
    }
    reporter.SetProgressPosition(ToProgress(i + 1));
    if (i % 10 == 0 || i + 1 == total) {
      reporter.ReportStatus(CountText(kComputingText, i + 1, total));
      reporter.PumpEvents();
    }
  }
}

// ---- Parallel hashing ----------------------------------------------------------------------

// Files read side by side at most, so that a large group never holds many descriptors.
constexpr size_t kMaxAlikeFiles = 16;

// What one worker claims: one file, or files that are very likely equal (same size, same first
// and last blocks), which are read side by side so that only the first is digested.
struct HashJob {
  std::vector<size_t> Members;  // indexes into the hash targets
};

// The jobs of the targets: files whose edge blocks no other file of their size shares are left
// out (they have no twin) and counted as done at once; `signatures` holds nothing for files
// that were not checked or could not be read, and those are hashed on their own.
std::vector<HashJob> PlanJobs(const std::vector<TFileInfo*>& targets,
                              const std::vector<std::optional<size_t>>& signatures,
                              size_t& settled) {
  std::vector<HashJob> jobs;
  for (size_t begin = 0; begin < targets.size();) {
    size_t end = begin;
    std::unordered_map<size_t, std::vector<size_t>> alike;
    for (; end < targets.size() && targets[end]->Size == targets[begin]->Size; ++end) {
      if (signatures[end]) {
        alike[*signatures[end]].push_back(end);
      } else {
        jobs.push_back(HashJob{{end}});
      }
    }
    for (auto& [signature, members] : alike) {
      if (members.size() == 1) ++settled;
      for (size_t k = 0; members.size() > 1 && k < members.size(); k += kMaxAlikeFiles) {
        const size_t last = std::min(members.size(), k + kMaxAlikeFiles);
        jobs.push_back(HashJob{{members.begin() + static_cast<ptrdiff_t>(k),
                                members.begin() + static_cast<ptrdiff_t>(last)}});
      }
    }
    begin = end;
  }
  return jobs;
}

// Hashes a job's records. Records that were hashed before keep their text; of files read side
// by side, one that differs from the first after all is hashed on its own.
void RunJob(const HashJob& job, const std::vector<TFileInfo*>& targets, ReadBuffer& first,
            ReadBuffer& other, const std::stop_token& abandon) {
  // Files hashed before (by an earlier scan, through the hash cache) are not read again.
  std::vector<size_t> unknown;
  for (const size_t index : job.Members) {
    if (targets[index]->ContentHash.empty()) unknown.push_back(index);
  }
  if (unknown.size() <= 1) {
    if (!unknown.empty()) HashRecord(*targets[unknown.front()], first, abandon);
    return;
  }
  std::vector<const std::string*> paths;
  for (const size_t index : unknown)
    paths.push_back(&targets[index]->FullPath);
  const auto digests = HashAlike(paths, first, other, abandon);
  for (size_t k = 0; k < unknown.size(); ++k) {
    TFileInfo& record = *targets[unknown[k]];
    if (digests[k]) {
      record.ContentHash = *digests[k];
    } else {
      HashRecord(record, first, abandon);
    }
  }
}

// The worker tasks of one parallel run. First they read the edge blocks of every file of more
// than one block, each claiming files through one atomic counter; the last to finish that
// plans the jobs; then each claims jobs through another counter. A task writes only what its
// claims own. The threads are the last member, so they are joined before anything they use
// goes away; a jthread asks its task to abandon its work before the join, which matters only
// when the stage leaves early through an error.
class HashWorkers final {
 public:
  HashWorkers(const std::vector<TFileInfo*>& hashTargets, const ScanReporter& reporter,
              unsigned count)
      : FTargets(hashTargets),
        FReporter(reporter),
        FSignatures(hashTargets.size()),
        FPlanned(count, PlanCompletion{this}),
        FRunning(count),
        FBuffers(2 * size_t{count}) {
    for (size_t i = 0; i < hashTargets.size(); ++i) {
      if (hashTargets[i]->Size >= kFirstBlockCheckFrom) FToCheck.push_back(i);
    }
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
  struct PlanCompletion {
    HashWorkers* Owner;
    void operator()() noexcept { Owner->Plan(); }
  };

  bool Stopped(const std::stop_token& abandon) const {
    return FReporter.IsStopRequested() || abandon.stop_requested();
  }

  void Run(unsigned task, const std::stop_token& abandon) noexcept {
    ReadBuffer& first = FBuffers[2 * size_t{task}];
    ReadBuffer& other = FBuffers[2 * size_t{task} + 1];
    CheckEdges(first, abandon);
    FPlanned.arrive_and_wait();  // every task arrives exactly once, whatever happened
    try {
      ClaimAndHash(first, other, abandon);
    } catch (...) {
      // A task that fails ends like one that ran out of work.
    }
    const std::lock_guard lock(FMutex);
    if (--FRunning == 0) FLastFinished.notify_all();
  }

  void CheckEdges(ReadBuffer& buffer, const std::stop_token& abandon) noexcept {
    std::vector<TFileInfo*> batch;
    std::vector<std::optional<size_t>> signatures;
    for (;;) {
      const size_t claim = FNextCheck.fetch_add(kEdgeCheckBatch, std::memory_order_relaxed);
      if (claim >= FToCheck.size() || Stopped(abandon)) return;
      const size_t end = std::min(FToCheck.size(), claim + kEdgeCheckBatch);
      batch.clear();
      for (size_t k = claim; k < end; ++k)
        batch.push_back(FTargets[FToCheck[k]]);
      signatures.assign(batch.size(), std::nullopt);
      EdgeBlocksSignatures(batch, buffer, signatures);
      for (size_t k = claim; k < end; ++k)
        FSignatures[FToCheck[k]] = signatures[k - claim];
    }
  }

  // Runs once, on the last task to arrive, after every signature was written.
  void Plan() noexcept {
    try {
      size_t settled = 0;
      FJobs = PlanJobs(FTargets, FSignatures, settled);
      FCompletedCount.fetch_add(settled, std::memory_order_relaxed);
    } catch (...) {
      FJobs.clear();  // out of memory: nothing more is hashed
    }
  }

  void ClaimAndHash(ReadBuffer& first, ReadBuffer& other, const std::stop_token& abandon) {
    while (!Stopped(abandon)) {
      const size_t claim = FNextJob.fetch_add(1, std::memory_order_relaxed);
      if (claim >= FJobs.size()) return;
      const HashJob& job = FJobs[claim];
      RunJob(job, FTargets, first, other, abandon);
      FCompletedCount.fetch_add(job.Members.size(), std::memory_order_relaxed);
    }
  }

  const std::vector<TFileInfo*>& FTargets;
  const ScanReporter& FReporter;
  std::vector<size_t> FToCheck;                    // targets whose edge blocks are read
  std::vector<std::optional<size_t>> FSignatures;  // by target; each written by one task
  std::atomic<size_t> FNextCheck{0};
  std::vector<HashJob> FJobs;  // written once, by the plan
  std::atomic<size_t> FNextJob{0};
  std::atomic<size_t> FCompletedCount{0};
  std::barrier<PlanCompletion> FPlanned;
  mutable std::mutex FMutex;
  std::condition_variable FLastFinished;
  unsigned FRunning;                 // tasks not yet finished; guarded by FMutex
  std::vector<ReadBuffer> FBuffers;  // two per task
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

  const ScanSettings settings = reporter.CurrentSettings();
  std::optional<CachedHashes> cache;
  if (settings.UseHashCache) {
    cache.emplace(settings.HashCachePath);
    reporter.RunBlocking([&] { cache->Apply(hashTargets, reporter); });
  }
  if (settings.ParallelHashing) {
    HashInParallel(hashTargets, reporter, std::max(1u, workerCount));
  } else {
    HashSequentially(hashTargets, reporter);
  }
  if (cache) {
    reporter.RunBlocking([&] { cache->Save(hashTargets); });
    state.Summary.CacheHits = cache->Hits();
    if (!cache->Problem().empty()) state.Summary.CacheProblem = cache->Problem();
  }
  reporter.SetProgressPosition(0);
}

}  // namespace parvolane
