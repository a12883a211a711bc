#include "engine/hashing.h"

#include "engine/cached_hashes.h"
#include "engine/file_digest.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
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
// Files whose edge blocks are fetched together.
constexpr size_t kEdgeCheckBatch = 64;

// What every reading thread of one run shares: the stop flag (through the reporter, which is
// only asked for that off the scan's thread), the log of skipped files and the bytes read.
struct HashContext {
  const ScanReporter& Reporter;
  SkipLog& Skipped;
  int64_t BytesToRead = 0;
  std::atomic<int64_t> BytesDone{0};
};

int64_t SizeOf(const TFileInfo& record) {
  return std::max<int64_t>(record.Size, 0);
}

// A file that is gone, or that something other than a regular file has replaced (a link, a
// FIFO, a folder), vanished since the walk; the system's message would only confuse then.
void LogSkipped(SkipLog& skipped, const std::string& path, int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      skipped.Add(SkipKind::Vanished, path, error);
      return;
    case ELOOP:
    case EINVAL:
      skipped.Add(SkipKind::Vanished, path, 0);
      return;
    case ENAMETOOLONG:
      skipped.Add(SkipKind::TooLong, path, error);
      return;
    default:
      skipped.Add(SkipKind::UnreadableFile, path, error);
  }
}

// The same in both modes: a file that cannot be hashed leaves an empty hash and is counted as
// skipped, and nothing stops the stage. False when the hashing was abandoned for a stop (the
// record keeps an empty hash, never a partial digest).
bool HashRecord(TFileInfo& record, std::span<std::byte> buffer, const BlockWatch& watch,
                SkipLog& skipped) {
  if (!record.ContentHash.empty()) return true;
  try {
    record.ContentHash = HashFile(record.FullPath, buffer, watch);
    if (record.ContentHash.empty()) LogSkipped(skipped, record.FullPath, ENOENT);
  } catch (const std::system_error& e) {
    record.ContentHash.clear();
    LogSkipped(skipped, record.FullPath, e.code().value());
  } catch (const HashingAbandoned&) {
    record.ContentHash.clear();
    return false;
  }
  return true;
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

  bool MayHaveTwin(size_t index, std::span<std::byte> buffer, const BlockWatch& watch) {
    const int64_t size = FTargets[index]->Size;
    if (size < kFirstBlockCheckFrom) return true;
    if (index == 0 || FTargets[index - 1]->Size != size) CheckSize(index, buffer, watch);
    return FMayHaveTwin[index];
  }

 private:
  // Files not reached before a stop stay candidates; hashing them is abandoned at once.
  void CheckSize(size_t begin, std::span<std::byte> buffer, const BlockWatch& watch) {
    size_t end = begin;
    while (end < FTargets.size() && FTargets[end]->Size == FTargets[begin]->Size)
      ++end;
    std::vector<std::optional<size_t>> signatures(end - begin);
    for (size_t k = begin; k < end && !watch.StopRequested(); k += kEdgeCheckBatch) {
      const size_t count = std::min(end - k, kEdgeCheckBatch);
      EdgeBlocksSignatures(std::span(FTargets).subspan(k, count), buffer,
                           std::span(signatures).subspan(k - begin, count), watch);
    }
    std::unordered_map<size_t, size_t> counts;
    for (const auto& signature : signatures) {
      if (signature) ++counts[*signature];
    }
    for (size_t k = 0; k < signatures.size(); ++k) {
      if (signatures[k] && counts[*signatures[k]] == 1) FMayHaveTwin[begin + k] = false;
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

void ReportBytes(ScanReporter& reporter, const HashContext& context) {
  reporter.ReportBytes(context.BytesDone.load(std::memory_order_relaxed), context.BytesToRead);
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

// One target of sequential hashing; false when a stop came in the middle of it. It may run on
// another thread (inside RunBlocking), so it looks at nothing but the stop flag.
bool ProcessInTurn(TwinCandidates& candidates, const std::vector<TFileInfo*>& hashTargets,
                   size_t index, ReadBuffer& buffer, HashContext& context) {
  TFileInfo& record = *hashTargets[index];
  ByteTally tally(&context.BytesDone, SizeOf(record));
  const BlockWatch watch{&context.Reporter, {}, &tally};
  if (candidates.MayHaveTwin(index, buffer, watch) &&
      !HashRecord(record, buffer, watch, context.Skipped)) {
    return false;
  }
  if (watch.StopRequested() && record.ContentHash.empty()) return false;  // edges cut short
  tally.Finish();
  return true;
}

void HashSequentially(const std::vector<TFileInfo*>& hashTargets, HashContext& context,
                      ScanReporter& reporter) {
  const size_t total = hashTargets.size();
  ReadBuffer buffer(kHashReadBlockSize);
  TwinCandidates candidates(hashTargets);
  reporter.SetProgressPosition(0);
  reporter.SetProgressRange(0, ToProgress(total));
  ReportBytes(reporter, context);
  for (size_t i = 0; i < total; ++i) {
    if (reporter.IsStopRequested()) break;
    bool finished = true;
    const auto process = [&] {
      finished = ProcessInTurn(candidates, hashTargets, i, buffer, context);
    };
    if (TakesLong(hashTargets, i)) {
      reporter.RunBlocking(process);  // the window keeps handling events meanwhile
    } else {
      process();
    }
    if (!finished) break;
    reporter.SetProgressPosition(ToProgress(i + 1));
    if (i % 10 == 0 || i + 1 == total) {
      // A stop that came while a large file was read keeps "Stopping..." on the status line.
      if (reporter.IsStopRequested()) break;
      reporter.ReportStatus(CountText(kComputingText, i + 1, total));
      ReportBytes(reporter, context);
      reporter.PumpEvents();
    }
  }
}

// ---- Parallel hashing ----------------------------------------------------------------------

// Files read side by side at most, so that a large group never holds many descriptors.
constexpr size_t kMaxAlikeFiles = 16;

// What one worker claims: one file, or files that are very likely equal (same size, same first
// and last blocks), which are read side by side so that only the first is digested.
// A job's members lie side by side in its plan's list of target indexes: a million targets
// in jobs of a few cost a few megabytes, not a list of their own each.
struct HashJob {
  uint32_t First = 0;
  uint32_t Count = 0;
};

struct HashPlan {
  std::vector<uint32_t> Members;  // indexes into the hash targets, job after job
  std::vector<HashJob> Jobs;

  void Add(std::span<const uint32_t> members) {
    Jobs.push_back(
        HashJob{static_cast<uint32_t>(Members.size()), static_cast<uint32_t>(members.size())});
    Members.insert(Members.end(), members.begin(), members.end());
  }
  std::span<const uint32_t> MembersOf(const HashJob& job) const {
    return std::span(Members).subspan(job.First, job.Count);
  }
};

// The jobs of the targets: files whose edge blocks no other file of their size shares are left
// out (they have no twin) and counted in `settled` at once, with their bytes; `signatures`
// holds nothing for files that were not checked or could not be read, and those are hashed on
// their own.
HashPlan PlanJobs(const std::vector<TFileInfo*>& targets,
                  const std::vector<std::optional<size_t>>& signatures, size_t& settled,
                  int64_t& settledBytes) {
  if (targets.size() >= UINT32_MAX) throw std::length_error("too many files to hash");
  HashPlan plan;
  plan.Members.reserve(targets.size());
  for (size_t begin = 0; begin < targets.size();) {
    size_t end = begin;
    std::unordered_map<size_t, std::vector<uint32_t>> alike;
    for (; end < targets.size() && targets[end]->Size == targets[begin]->Size; ++end) {
      const auto index = static_cast<uint32_t>(end);
      if (signatures[end]) {
        alike[*signatures[end]].push_back(index);
      } else {
        plan.Add(std::span(&index, 1));
      }
    }
    for (auto& [signature, members] : alike) {
      if (members.size() == 1) {
        ++settled;
        settledBytes += SizeOf(*targets[members.front()]);
      }
      for (size_t k = 0; members.size() > 1 && k < members.size(); k += kMaxAlikeFiles) {
        const size_t last = std::min(members.size(), k + kMaxAlikeFiles);
        plan.Add(std::span(members).subspan(k, last - k));
      }
    }
    begin = end;
  }
  return plan;
}

// Hashes a job's records; the number of them that were done with (hashed, found hashed before,
// or failed), which is all of them unless a stop came first. Of files read side by side, one
// that differs from the first after all is hashed on its own. Files hashed before (by an earlier
// scan, through the hash cache) are not read again.
size_t RunJob(std::span<const uint32_t> members, const std::vector<TFileInfo*>& targets,
              ReadBuffer& first, ReadBuffer& other, const BlockWatch& watch, SkipLog& skipped) {
  std::vector<size_t> unknown;
  for (const size_t index : members) {
    if (targets[index]->ContentHash.empty()) unknown.push_back(index);
  }
  size_t done = members.size() - unknown.size();
  if (unknown.size() <= 1) {
    if (!unknown.empty() && HashRecord(*targets[unknown.front()], first, watch, skipped)) ++done;
    return done;
  }
  std::vector<const std::string*> paths;
  for (const size_t index : unknown)
    paths.push_back(&targets[index]->FullPath);
  std::vector<std::optional<std::string>> digests;
  try {
    digests = HashAlike(paths, first, other, watch);
  } catch (const HashingAbandoned&) {
    return done;
  }
  for (size_t k = 0; k < unknown.size(); ++k) {
    TFileInfo& record = *targets[unknown[k]];
    if (digests[k]) {
      record.ContentHash = *digests[k];
    } else if (!HashRecord(record, first, watch, skipped)) {
      continue;
    }
    ++done;
  }
  return done;
}

int64_t BytesOf(std::span<const uint32_t> members, const std::vector<TFileInfo*>& targets) {
  int64_t bytes = 0;
  for (const size_t index : members)
    bytes += SizeOf(*targets[index]);
  return bytes;
}

// The worker tasks of one parallel run. First they read the edge blocks of every file of more
// than one block, each claiming files through one atomic counter; the last to finish that
// plans the jobs; then each claims jobs through another counter. A task writes only what its
// claims own. The system may refuse some of the threads: the tasks that did start share the
// work, and wait for no other at the plan. A task that meets an error beyond one file keeps it
// for the caller and makes the others give up. The threads are the last member, so they are
// joined before anything they use goes away.
class HashWorkers final {
 public:
  HashWorkers(const std::vector<TFileInfo*>& hashTargets, HashContext& context, unsigned count,
              const WorkerStarter& startWorker)
      : FTargets(hashTargets), FContext(context), FSignatures(hashTargets.size()) {
    if (hashTargets.size() >= UINT32_MAX) throw std::length_error("too many files to hash");
    size_t checked = 0;
    for (const TFileInfo* target : hashTargets)
      checked += target->Size >= kFirstBlockCheckFrom ? 1 : 0;
    FToCheck.reserve(checked);
    for (size_t i = 0; i < hashTargets.size(); ++i) {
      if (hashTargets[i]->Size >= kFirstBlockCheckFrom)
        FToCheck.push_back(static_cast<uint32_t>(i));
    }
    FBuffers.reserve(2 * size_t{count});
    FThreads.reserve(count);
    StartTasks(count, startWorker);
  }
  HashWorkers(const HashWorkers&) = delete;
  HashWorkers& operator=(const HashWorkers&) = delete;
  // Leaving early (an error on the calling thread) abandons the files being read.
  ~HashWorkers() { FAbandon.request_stop(); }

  size_t Started() const { return FThreads.size(); }
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
    FChanged.wait_for(lock, interval, [this] { return FRunning == 0; });
  }

  // After every task finished: the error that ended one, thrown on the caller's thread.
  void RethrowFirstError() {
    for (std::jthread& thread : FThreads)
      thread.join();
    const std::lock_guard lock(FMutex);
    if (FError) std::rethrow_exception(FError);
  }

 private:
  enum class PlanState { Waiting, Planning, Planned };

  // Threads the system refuses are left out; any other error still lets the started tasks
  // through the plan (they give up) before it travels on.
  void StartTasks(unsigned count, const WorkerStarter& startWorker) {
    struct StartDone {
      HashWorkers& Owner;
      ~StartDone() {
        const std::lock_guard lock(Owner.FMutex);
        Owner.FStarted = Owner.FThreads.size();
        Owner.FStartDone = true;
        Owner.FChanged.notify_all();
      }
    } done{*this};
    try {
      for (unsigned i = 0; i < count; ++i)
        StartTask(startWorker);
    } catch (const std::system_error&) {
      // Fewer workers than processors, or none: the caller copes.
    } catch (...) {
      FAbandon.request_stop();
      throw;
    }
  }

  void StartTask(const WorkerStarter& startWorker) {
    FBuffers.emplace_back(kHashReadBlockSize);
    FBuffers.emplace_back(kHashReadBlockSize);
    ReadBuffer* buffers = &FBuffers[FBuffers.size() - 2];
    {
      const std::lock_guard lock(FMutex);
      ++FRunning;
    }
    std::function<void()> task = [this, buffers] { Run(buffers[0], buffers[1]); };
    try {
      FThreads.push_back(startWorker ? startWorker(std::move(task))
                                     : std::jthread(std::move(task)));
    } catch (...) {
      const std::lock_guard lock(FMutex);
      --FRunning;
      throw;
    }
  }

  BlockWatch Watch(ByteTally* tally = nullptr) const {
    return BlockWatch{&FContext.Reporter, FAbandon.get_token(), tally};
  }

  void Fail() noexcept {
    const std::lock_guard lock(FMutex);
    if (!FError) FError = std::current_exception();
    FAbandon.request_stop();
  }

  void Run(ReadBuffer& first, ReadBuffer& other) noexcept {
    try {
      CheckEdges(first);
    } catch (...) {
      Fail();
    }
    ArriveAndWaitForPlan();  // every started task arrives exactly once, whatever happened
    try {
      ClaimAndHash(first, other);
    } catch (...) {
      Fail();
    }
    const std::lock_guard lock(FMutex);
    if (--FRunning == 0) FChanged.notify_all();
  }

  void CheckEdges(ReadBuffer& buffer) {
    const BlockWatch watch = Watch();
    std::vector<TFileInfo*> batch;
    std::vector<std::optional<size_t>> signatures;
    for (;;) {
      const size_t claim = FNextCheck.fetch_add(kEdgeCheckBatch, std::memory_order_relaxed);
      if (claim >= FToCheck.size() || watch.StopRequested()) return;
      const size_t end = std::min(FToCheck.size(), claim + kEdgeCheckBatch);
      batch.clear();
      for (size_t k = claim; k < end; ++k)
        batch.push_back(FTargets[FToCheck[k]]);
      signatures.assign(batch.size(), std::nullopt);
      EdgeBlocksSignatures(batch, buffer, signatures, watch);
      for (size_t k = claim; k < end; ++k)
        FSignatures[FToCheck[k]] = signatures[k - claim];
    }
  }

  // The last task to arrive (once every task that will ever start has started) plans, outside
  // the lock, so that the caller's polls are not held up; the others wait for the plan.
  void ArriveAndWaitForPlan() {
    std::unique_lock lock(FMutex);
    ++FArrived;
    FChanged.notify_all();
    FChanged.wait(lock, [this] {
      return FPlan != PlanState::Waiting || (FStartDone && FArrived == FStarted);
    });
    if (FPlan == PlanState::Waiting) {
      FPlan = PlanState::Planning;
      lock.unlock();
      Plan();
      lock.lock();
      FPlan = PlanState::Planned;
      FChanged.notify_all();
      return;
    }
    FChanged.wait(lock, [this] { return FPlan == PlanState::Planned; });
  }

  void Plan() noexcept {
    try {
      size_t settled = 0;
      int64_t settledBytes = 0;
      FJobs = PlanJobs(FTargets, FSignatures, settled, settledBytes);
      // The signatures are in the plan now; their list would only take room while files are read.
      std::vector<std::optional<size_t>>().swap(FSignatures);
      std::vector<uint32_t>().swap(FToCheck);
      FCompletedCount.fetch_add(settled, std::memory_order_relaxed);
      FContext.BytesDone.fetch_add(settledBytes, std::memory_order_relaxed);
    } catch (...) {
      FJobs = HashPlan();
      Fail();
    }
  }

  void ClaimAndHash(ReadBuffer& first, ReadBuffer& other) {
    while (!Watch().StopRequested()) {
      const size_t claim = FNextJob.fetch_add(1, std::memory_order_relaxed);
      if (claim >= FJobs.Jobs.size()) return;
      const std::span<const uint32_t> members = FJobs.MembersOf(FJobs.Jobs[claim]);
      ByteTally tally(&FContext.BytesDone, BytesOf(members, FTargets));
      const size_t done = RunJob(members, FTargets, first, other, Watch(&tally), FContext.Skipped);
      if (done == members.size()) tally.Finish();
      FCompletedCount.fetch_add(done, std::memory_order_relaxed);
    }
  }

  const std::vector<TFileInfo*>& FTargets;
  HashContext& FContext;
  std::vector<uint32_t> FToCheck;                  // targets whose edge blocks are read
  std::vector<std::optional<size_t>> FSignatures;  // by target; each written by one task
  std::atomic<size_t> FNextCheck{0};
  HashPlan FJobs;  // written once, by the plan
  std::atomic<size_t> FNextJob{0};
  std::atomic<size_t> FCompletedCount{0};
  std::stop_source FAbandon;
  mutable std::mutex FMutex;
  std::condition_variable FChanged;
  // Guarded by FMutex:
  unsigned FRunning = 0;  // tasks started and not yet finished
  size_t FArrived = 0;    // tasks done with the edge blocks
  bool FStartDone = false;
  size_t FStarted = 0;  // set once every thread that will run has started
  PlanState FPlan = PlanState::Waiting;
  std::exception_ptr FError;
  std::vector<ReadBuffer> FBuffers;  // two per task, never moved once a task uses them
  std::vector<std::jthread> FThreads;
};

// The calling thread only watches. The pass that finds every task finished is the last, so
// the status written before it may show a count below the total.
void WatchWorkers(HashWorkers& workers, size_t total, const HashContext& context,
                  ScanReporter& reporter) {
  for (;;) {
    const size_t completed = workers.CompletedCount();
    reporter.SetProgressPosition(ToProgress(completed));
    reporter.ReportStatus(
        CountText(reporter.IsStopRequested() ? kStoppingText : kComputingText, completed, total));
    ReportBytes(reporter, context);
    reporter.PumpEvents();
    if (workers.AllFinished()) break;
    workers.WaitAtMost(kPollInterval);
  }
  reporter.SetProgressPosition(ToProgress(workers.CompletedCount()));
  ReportBytes(reporter, context);
}

void HashInParallel(const std::vector<TFileInfo*>& hashTargets, HashContext& context,
                    ScanReporter& reporter, unsigned workerCount, const WorkerStarter& start) {
  reporter.SetProgressMarquee(false);
  reporter.SetProgressRange(0, ToProgress(hashTargets.size()));
  reporter.SetProgressPosition(0);
  ReportBytes(reporter, context);
  HashWorkers workers(hashTargets, context, workerCount, start);
  if (workers.Started() == 0) {
    // Not one thread could be made: the calling thread hashes, handling events as it goes.
    HashSequentially(hashTargets, context, reporter);
    return;
  }
  WatchWorkers(workers, hashTargets.size(), context, reporter);
  workers.RethrowFirstError();
}

unsigned ProcessorCount() {
  return std::max(1u, std::thread::hardware_concurrency());
}

int64_t BytesToRead(const std::vector<TFileInfo*>& hashTargets) {
  int64_t bytes = 0;
  for (const TFileInfo* record : hashTargets)
    bytes += SizeOf(*record);
  return bytes;
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

void ComputeAllHashes(ScanState& state, ScanReporter& reporter, unsigned workerCount,
                      const WorkerStarter& startWorker) {
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
    // Opening may wait for another program's lock: off the window's thread, like the lookups.
    reporter.RunBlocking([&] {
      cache.emplace(settings.HashCachePath, [&reporter] { return reporter.IsStopRequested(); });
      cache->Apply(hashTargets, reporter);
    });
  }
  HashContext context{reporter, state.Summary.Skipped, BytesToRead(hashTargets)};
  if (settings.ParallelHashing) {
    HashInParallel(hashTargets, context, reporter, std::max(1u, workerCount), startWorker);
  } else {
    HashSequentially(hashTargets, context, reporter);
  }
  if (cache) {
    reporter.RunBlocking([&] { cache->Save(hashTargets); });
    state.Summary.CacheHits = cache->Hits();
    state.Summary.CacheLeftOut = cache->LeftOut();
    if (!cache->Problem().empty()) state.Summary.CacheProblem = cache->Problem();
  }
  reporter.SetProgressPosition(0);
}

}  // namespace parvolane
