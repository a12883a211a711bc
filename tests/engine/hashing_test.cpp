#include "engine/hashing.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "engine/file_clones.h"
#include "engine/file_digest.h"
#include "support/deep_tree.h"
#include "support/recording_reporter.h"
#include "support/temp_tree.h"
#include "support/unprivileged.h"

namespace parvolane {
namespace {

using testing::RecordingReporter;
using testing::ShareWithNobody;
using testing::TempTree;

const std::string kComputing = "Computing SHA-1 hashes (size filtered)...";
const std::string kStopping = "Stopping SHA-1 hashing...";

std::string Counted(const std::string& prefix, int done, int total) {
  return prefix + " " + std::to_string(done) + " / " + std::to_string(total);
}

// Digests from an independent implementation, by path.
std::map<std::string, std::string> Sha1sum(const std::vector<std::string>& paths) {
  std::string command = "sha1sum --";
  for (const std::string& path : paths)
    command += " '" + path + "'";
  std::map<std::string, std::string> digests;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("cannot run sha1sum");
  char line[4096];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::string text(line);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    digests[text.substr(42)] = text.substr(0, 40);
  }
  ::pclose(pipe);
  return digests;
}

std::string Sha1sum(const std::string& path) {
  return Sha1sum(std::vector<std::string>{path})[path];
}

// ---- One file ------------------------------------------------------------------------------

TEST(HashFileSHA1, KnownDigestsAndEveryBufferSize) {
  TempTree tree;
  const std::string abc = tree.File("abc", "abc");
  const std::string empty = tree.File("empty", "");
  // Several blocks and a short tail, so block boundaries fall inside the content.
  const std::string large = tree.FileOfSize("large", 2 * kHashReadBlockSize + 7, 42);

  EXPECT_EQ(HashFileSHA1(abc), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(HashFileSHA1(empty), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  const std::string expected = Sha1sum(large);
  ASSERT_EQ(expected.size(), 40u);
  EXPECT_EQ(HashFileSHA1(large), expected);
  for (size_t bufferSize : {size_t{1}, size_t{4096}, size_t{65536 + 3}}) {
    std::vector<std::byte> buffer(bufferSize);
    EXPECT_EQ(HashFileSHA1(large, buffer), expected) << bufferSize;
  }
}

TEST(HashFileSHA1, NoFileAtThePathIsAnEmptyHash) {
  TempTree tree;
  const std::string file = tree.File("file", "x");
  EXPECT_EQ(HashFileSHA1(tree.Path("missing")), "");
  EXPECT_EQ(HashFileSHA1(file + "/below"), "");  // a file where a folder should be
}

// None of these may block (a FIFO without a writer would wait forever if opened plainly).
TEST(HashFileSHA1, WhatIsNotARegularFileIsAnError) {
  TempTree tree;
  const std::string fifo = tree.Path("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string folder = tree.Dir("folder");
  const std::string link = tree.Symlink("link", tree.File("target", "abc"));
  for (const std::string& path : {fifo, folder, link, std::string("/dev/null")}) {
    EXPECT_THROW(HashFileSHA1(path), std::system_error) << path;
  }
}

// The readable neighbour shows that the tree itself could be reached.
TEST(HashFileSHA1, UnreadableFileIsAnError) {
  TempTree tree;
  const std::string open = tree.File("open", "abc");
  const std::string locked = tree.File("locked", "abc");
  ShareWithNobody(tree.Root());
  ASSERT_EQ(::chmod(locked.c_str(), 0), 0);
  const std::optional<std::string> outcome = testing::RunUnprivileged([&] {
    std::string text = HashFileSHA1(open) + "\n";
    try {
      HashFileSHA1(locked);
      return text + "locked: read";
    } catch (const std::system_error& e) {
      return text + "locked: " + e.code().message();
    }
  });
  if (!outcome) GTEST_SKIP() << "cannot become nobody (65534) to make a file unreadable";
  EXPECT_EQ(*outcome, HashFileSHA1(open) + "\nlocked: " + std::strerror(EACCES));
}

// ---- The stage -----------------------------------------------------------------------------

class HashingStage : public ::testing::Test {
 protected:
  // A record the way the folder scan makes it; `size` may differ from the file's.
  TFileInfo& Add(const std::string& path, int64_t size) {
    state.FFiles.push_back(std::make_unique<TFileInfo>(path, size));
    return *state.FFiles.back();
  }
  TFileInfo& AddFile(const std::string& name, const std::string& content) {
    return Add(tree.File(name, content), static_cast<int64_t>(content.size()));
  }
  // `count` files of equal size and different content.
  std::vector<TFileInfo*> AddSameSize(int count, int64_t size) {
    std::vector<TFileInfo*> records;
    for (int i = 0; i < count; ++i) {
      const std::string name = "same/" + std::to_string(i);
      records.push_back(&Add(tree.FileOfSize(name, size, static_cast<unsigned>(i)), size));
    }
    return records;
  }
  void Run(bool parallel, unsigned workers = 2) {
    reporter.Settings.ParallelHashing = parallel;
    ComputeAllHashes(state, reporter, workers);
  }
  std::vector<std::string> Hashes() const {
    std::vector<std::string> hashes;
    for (const auto& record : state.FFiles)
      hashes.emplace_back(record->ContentHash);
    return hashes;
  }
  // The statuses that carry counts.
  std::vector<std::string> CountedStatuses() const {
    std::vector<std::string> out;
    for (const std::string& status : reporter.Statuses) {
      if (status.find(" / ") != std::string::npos) out.push_back(status);
    }
    return out;
  }

  TempTree tree;
  ScanState state;
  RecordingReporter reporter{state};
};

class HashingStageInBothModes : public HashingStage, public ::testing::WithParamInterface<bool> {};
INSTANTIATE_TEST_SUITE_P(Modes, HashingStageInBothModes, ::testing::Values(false, true),
                         [](const auto& paramInfo) {
                           return paramInfo.param ? "Parallel" : "Sequential";
                         });

TEST_P(HashingStageInBothModes, NoRecordsMeansNoTextAndNoProgress) {
  Run(GetParam());
  EXPECT_TRUE(reporter.Statuses.empty());
  EXPECT_TRUE(reporter.Positions.empty());
  EXPECT_EQ(reporter.Pumps, 0);
}

// Only sizes shared by two records are read: a record that claims a unique size, 0 or an
// unknown size keeps an empty hash although its file could be read.
TEST_P(HashingStageInBothModes, OnlySharedSizesAreHashed) {
  TFileInfo& a = AddFile("a", std::string(100, 'a'));
  TFileInfo& b = AddFile("b", std::string(100, 'a'));
  TFileInfo& c = AddFile("c", std::string(100, 'c'));
  TFileInfo& unique = AddFile("unique", std::string(200, 'u'));
  TFileInfo& zero1 = Add(tree.File("z1", "zero"), 0);
  TFileInfo& zero2 = Add(tree.File("z2", "zero"), 0);
  TFileInfo& unknown1 = Add(tree.File("u1", "unknown"), -1);
  TFileInfo& unknown2 = Add(tree.File("u2", "unknown"), -1);
  Run(GetParam());

  EXPECT_EQ(a.ContentHash, Sha1sum(a.FullPath));
  EXPECT_EQ(b.ContentHash, a.ContentHash);
  EXPECT_EQ(c.ContentHash, Sha1sum(c.FullPath));
  EXPECT_NE(c.ContentHash, a.ContentHash);
  for (TFileInfo* record : {&unique, &zero1, &zero2, &unknown1, &unknown2}) {
    EXPECT_EQ(record->ContentHash, "") << record->FullPath;
  }
  EXPECT_EQ(reporter.RangeMax, 3);
  EXPECT_EQ(reporter.Positions.back(), 0);
  if (!GetParam()) {
    EXPECT_EQ(reporter.LastStatus(), Counted(kComputing, 3, 3));
  }
}

TEST_P(HashingStageInBothModes, NothingToHashLeavesTheFirstTextAndNoProgress) {
  AddFile("a", "1");
  AddFile("b", "22");
  Run(GetParam());
  EXPECT_EQ(reporter.Statuses, std::vector<std::string>{kComputing});
  EXPECT_EQ(reporter.Positions, std::vector<int32_t>{0});
  EXPECT_EQ(Hashes(), std::vector<std::string>(2, ""));
}

// A file that vanished, or that something else took the place of, keeps an empty hash and
// the others are still hashed.
TEST_P(HashingStageInBothModes, FilesThatCannotBeHashedKeepAnEmptyHash) {
  TFileInfo& good = AddFile("good", "12345");
  TFileInfo& vanished = AddFile("vanished", "12345");
  ASSERT_EQ(::unlink(vanished.FullPath.c_str()), 0);
  TFileInfo& fifo = Add(tree.Path("fifo"), 5);
  ASSERT_EQ(::mkfifo(fifo.FullPath.c_str(), 0600), 0);
  TFileInfo& folder = Add(tree.Dir("folder"), 5);
  TFileInfo& link = Add(tree.Symlink("link", good.FullPath), 5);
  Run(GetParam());

  EXPECT_EQ(good.ContentHash, Sha1sum(good.FullPath));
  for (TFileInfo* record : {&vanished, &fifo, &folder, &link}) {
    EXPECT_EQ(record->ContentHash, "") << record->FullPath;
  }
  EXPECT_EQ(reporter.RangeMax, 5);
}

TEST_P(HashingStageInBothModes, AHashAlreadySetIsKept) {
  TFileInfo& a = AddFile("a", "same");
  AddFile("b", "same");
  a.ContentHash = "kept";
  Run(GetParam());
  EXPECT_EQ(a.ContentHash, "kept");
  EXPECT_EQ(state.FFiles[1]->ContentHash, Sha1sum(state.FFiles[1]->FullPath));
}

// A stop while the text is first shown ends the stage before any file is read.
TEST_P(HashingStageInBothModes, StopBeforeHashingReadsNothing) {
  AddSameSize(3, 10);
  reporter.OnPump = [this] { reporter.Stop(); };
  Run(GetParam());
  EXPECT_EQ(reporter.Statuses, std::vector<std::string>{kComputing});
  EXPECT_EQ(reporter.Positions, std::vector<int32_t>{0});
  EXPECT_EQ(Hashes(), std::vector<std::string>(3, ""));
}

// The smallest size whose files are first compared by their first block.
constexpr size_t kCheckedSize = static_cast<size_t>(kFirstBlockCheckFrom);

std::string RandomBytes(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  std::mt19937 rng(seed);
  for (char& c : bytes)
    c = static_cast<char>(rng());
  return bytes;
}

// Hash -> paths, for every hash that two or more paths share: the groups that the file clone
// grouping would list.
using Groups = std::map<std::string, std::vector<std::string>>;
Groups GroupsOf(const std::vector<std::pair<std::string, std::string>>& pathAndHash) {
  Groups groups;
  for (const auto& [path, hash] : pathAndHash) {
    if (!hash.empty()) groups[hash].push_back(path);
  }
  std::erase_if(groups, [](const auto& group) { return group.second.size() < 2; });
  return groups;
}

// Every mode and worker count finds the groups that full hashing with an independent
// implementation finds. Small files of a shared size all get their digest; a large one may be
// left out when its first block already sets it apart, but never with a wrong hash.
TEST_F(HashingStage, EveryModeFindsTheGroupsOfFullHashing) {
  std::map<int64_t, int> sizeCount;
  for (int i = 0; i < 300; ++i) {
    const int64_t size = 1 + (i * 7919) % 200 * 31;  // a hundred shared sizes, a hundred unique
    // Some records of a size share their content, others differ.
    const unsigned seed = static_cast<unsigned>(i % 4 == 0 ? 0 : i);
    Add(tree.FileOfSize("small/" + std::to_string(i), size, seed), size);
    ++sizeCount[size];
  }
  for (const size_t size : {kCheckedSize, kCheckedSize + 5}) {
    const std::string base = RandomBytes(size, 7);
    for (int i = 0; i < 6; ++i) {
      std::string content = i < 2 ? base : RandomBytes(size, static_cast<unsigned>(i));
      if (i == 2 || i == 3) content = base.substr(0, size - 1) + char(i);  // a late difference
      AddFile("large/" + std::to_string(size) + "-" + std::to_string(i), content);
      ++sizeCount[static_cast<int64_t>(size)];
    }
  }
  std::vector<std::string> paths;
  for (const auto& record : state.FFiles)
    paths.push_back(record->FullPath);
  const std::map<std::string, std::string> digests = Sha1sum(paths);
  std::vector<std::pair<std::string, std::string>> fullHashing;
  for (const auto& record : state.FFiles) {
    const bool shared = sizeCount[record->Size] > 1;
    fullHashing.emplace_back(record->FullPath, shared ? digests.at(record->FullPath) : "");
  }
  const Groups expected = GroupsOf(fullHashing);
  ASSERT_EQ(expected.size(), 2u + 25u);  // the large pairs and the small files of seed 0

  struct Mode {
    bool Parallel;
    unsigned Workers;
  };
  for (const Mode mode : {Mode{false, 0}, Mode{true, 1}, Mode{true, 4},
                          Mode{true, std::thread::hardware_concurrency()}}) {
    SCOPED_TRACE(::testing::Message() << mode.Parallel << " " << mode.Workers);
    for (const auto& record : state.FFiles)
      record->ContentHash.clear();
    Run(mode.Parallel, mode.Workers);
    std::vector<std::pair<std::string, std::string>> found;
    for (const auto& record : state.FFiles) {
      found.emplace_back(record->FullPath, record->ContentHash);
      const bool small = record->Size < kFirstBlockCheckFrom;
      if (small || !record->ContentHash.empty()) {
        EXPECT_EQ(record->ContentHash, fullHashing[found.size() - 1].second) << record->FullPath;
      }
    }
    EXPECT_EQ(GroupsOf(found), expected);
  }
}

// Files of one size and more than one block are first compared by their first and last
// blocks. A file whose blocks no other file of its size shares is never read in full and keeps
// an empty hash; it still counts as one processed file.
TEST_P(HashingStageInBothModes, AFileWithUniqueEdgeBlocksIsNotReadInFull) {
  const size_t size = 3 * kEdgeBlockSize;  // a middle that neither edge block covers
  const std::string base = RandomBytes(size, 1);
  std::string lateDifference = base;
  lateDifference.back() ^= 1;
  std::string earlyDifference = base;
  earlyDifference.front() ^= 1;
  std::string middleDifference = base;
  middleDifference[size / 2] ^= 1;
  TFileInfo& original = AddFile("original", base);
  TFileInfo& twin = AddFile("twin", base);
  TFileInfo& middle = AddFile("middle", middleDifference);
  TFileInfo& late = AddFile("late", lateDifference);
  TFileInfo& early = AddFile("early", earlyDifference);
  TFileInfo& vanished = AddFile("vanished", base);
  ASSERT_EQ(::unlink(vanished.FullPath.c_str()), 0);
  // Two of another size that differ at once: neither is read in full; files of one block are
  // hashed whatever they hold.
  TFileInfo& apart1 = AddFile("apart1", RandomBytes(kCheckedSize + 1, 2));
  TFileInfo& apart2 = AddFile("apart2", RandomBytes(kCheckedSize + 1, 3));
  TFileInfo& small1 = AddFile("small1", RandomBytes(kCheckedSize - 1, 4));
  TFileInfo& small2 = AddFile("small2", RandomBytes(kCheckedSize - 1, 5));
  Run(GetParam());

  for (TFileInfo* record : {&original, &twin, &middle, &small1, &small2}) {
    EXPECT_EQ(record->ContentHash, Sha1sum(record->FullPath)) << record->FullPath;
  }
  for (TFileInfo* record : {&late, &early, &vanished, &apart1, &apart2}) {
    EXPECT_EQ(record->ContentHash, "") << record->FullPath;
  }
  EXPECT_EQ(reporter.RangeMax, 10);
  EXPECT_EQ(reporter.Positions[reporter.Positions.size() - 2], 10);
  if (!GetParam()) {
    EXPECT_EQ(CountedStatuses(),
              (std::vector<std::string>{Counted(kComputing, 1, 10), Counted(kComputing, 10, 10)}));
  }
}

// Files that are alike are read side by side and only the first is digested; every one of
// them gets the digest, and one that differs in the middle after all gets its own.
TEST_F(HashingStage, ParallelHashesAlikeFilesSideBySide) {
  const size_t size = 5 * kHashReadBlockSize + 17;  // several blocks and a short last one
  const std::string base = RandomBytes(size, 9);
  std::string odd = base;
  odd[size / 2] ^= 1;
  std::vector<TFileInfo*> records;
  for (int i = 0; i < 20; ++i) {  // more than are read side by side at once
    records.push_back(&AddFile("alike" + std::to_string(i), i == 7 ? odd : base));
  }
  TFileInfo& longer = AddFile("longer", base + "x");  // another size: no twin
  Run(true, 2);
  const std::string digest = Sha1sum(records[0]->FullPath);
  for (size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i]->ContentHash, i == 7 ? Sha1sum(records[i]->FullPath) : digest) << i;
  }
  EXPECT_EQ(longer.ContentHash, "");
  EXPECT_EQ(reporter.Positions[reporter.Positions.size() - 2], 20);  // "longer" is no target
}

TEST_F(HashingStage, SequentialTextEveryTenFiles) {
  AddSameSize(25, 10);
  Run(false);
  EXPECT_EQ(reporter.StatusesStartingWith(kComputing + " "),
            (std::vector<std::string>{Counted(kComputing, 1, 25), Counted(kComputing, 11, 25),
                                      Counted(kComputing, 21, 25), Counted(kComputing, 25, 25)}));
  std::vector<int32_t> positions{0};
  for (int32_t i = 1; i <= 25; ++i)
    positions.push_back(i);
  positions.push_back(0);
  EXPECT_EQ(reporter.Positions, positions);
  EXPECT_EQ(reporter.RangeMin, 0);
  EXPECT_EQ(reporter.RangeMax, 25);
  EXPECT_EQ(reporter.Pumps, 5);
}

TEST_F(HashingStage, SequentialStopLeavesTheRestUnhashed) {
  const std::vector<TFileInfo*> records = AddSameSize(25, 10);
  reporter.OnPump = [this] {
    if (reporter.LastStatus() == Counted(kComputing, 1, 25)) reporter.Stop();
  };
  Run(false);
  EXPECT_EQ(records[0]->ContentHash.size(), 40u);
  for (size_t i = 1; i < records.size(); ++i)
    EXPECT_EQ(records[i]->ContentHash, "") << i;
  EXPECT_EQ(reporter.LastStatus(), Counted(kComputing, 1, 25));
  EXPECT_EQ(reporter.Positions.back(), 0);
}

// One worker, the indicator put back into normal mode, counts that only grow, and the
// completed count shown once more before the position returns to 0.
TEST_F(HashingStage, ParallelProgress) {
  const std::vector<TFileInfo*> records = AddSameSize(40, 1000);
  reporter.Marquee = true;
  Run(true, 1);
  EXPECT_FALSE(reporter.Marquee);
  for (TFileInfo* record : records)
    EXPECT_EQ(record->ContentHash.size(), 40u);
  EXPECT_EQ(reporter.RangeMax, 40);
  ASSERT_GE(reporter.Positions.size(), 4u);
  EXPECT_EQ(reporter.Positions[reporter.Positions.size() - 2], 40);
  EXPECT_EQ(reporter.Positions.back(), 0);
  int last = 0;
  for (const std::string& status : CountedStatuses()) {
    int done = -1;
    int total = -1;
    ASSERT_EQ(std::sscanf(status.c_str(), "Computing SHA-1 hashes (size filtered)... %d / %d",
                          &done, &total),
              2)
        << status;
    EXPECT_EQ(total, 40);
    EXPECT_GE(done, last);
    last = done;
  }
}

// With several workers and a stop at the first look, no record is claimed after the stop, a
// file being read when it came is abandoned and keeps an empty hash (never part of a digest),
// and the records finished are exactly the last count shown.
TEST_F(HashingStage, ParallelStopFinishesOrAbandonsClaimedRecordsOnly) {
  // Enough files that the workers cannot be through all of them before the first look, even
  // when the watching thread is kept waiting.
  const std::vector<TFileInfo*> records = AddSameSize(3000, 2000);
  reporter.OnPump = [this] {
    if (!CountedStatuses().empty()) reporter.Stop();
  };
  Run(true, 4);
  size_t hashed = 0;
  for (TFileInfo* record : records) {
    if (record->ContentHash.empty()) continue;
    ++hashed;
    EXPECT_EQ(record->ContentHash, HashFileSHA1(record->FullPath)) << record->FullPath;
  }
  EXPECT_LT(hashed, records.size());
  ASSERT_GE(reporter.Positions.size(), 2u);
  EXPECT_EQ(reporter.Positions[reporter.Positions.size() - 2], static_cast<int32_t>(hashed));
}

// Forwards everything to a RecordingReporter; a test overrides what it watches.
class ForwardingReporter : public ScanReporter {
 public:
  explicit ForwardingReporter(RecordingReporter& inner) : FInner(inner) {}

  void ReportStatus(const std::string& text) override { FInner.ReportStatus(text); }
  bool IsStopRequested() const override { return FInner.IsStopRequested(); }
  void ReportBytes(int64_t done, int64_t total) override {
    Bytes.emplace_back(done, total);
    HashingBegan = true;
  }
  void SetProgressRange(int32_t min, int32_t max) override { FInner.SetProgressRange(min, max); }
  void SetProgressPosition(int32_t position) override { FInner.SetProgressPosition(position); }
  void SetProgressMarquee(bool marquee) override { FInner.SetProgressMarquee(marquee); }
  void PumpEvents() override { FInner.PumpEvents(); }
  ScanSettings CurrentSettings() override { return FInner.CurrentSettings(); }

  /// Every (done, total) reported, in order.
  std::vector<std::pair<int64_t, int64_t>> Bytes;
  /// Set at the first bytes report, which comes before the first file is read.
  std::atomic<bool> HashingBegan{false};

 protected:
  RecordingReporter& FInner;
  const std::thread::id FScanThread = std::this_thread::get_id();
};

// Holds the worker at its first look at the stop flag after its first file got its hash, until
// the stopping text has been shown, so that a test can press Stop while a task is certainly
// still running.
class HeldWorkerReporter final : public ForwardingReporter {
 public:
  HeldWorkerReporter(RecordingReporter& inner, const TFileInfo& first)
      : ForwardingReporter(inner), FFirst(first) {}

  void ReportStatus(const std::string& text) override {
    FInner.ReportStatus(text);
    if (text.rfind(kStopping, 0) != 0) return;
    const std::lock_guard lock(FMutex);
    FStoppingShown = true;
    FChanged.notify_all();
  }
  // The worker reads the hash that it wrote itself.
  bool IsStopRequested() const override {
    if (std::this_thread::get_id() != FScanThread && !FFirst.ContentHash.empty()) {
      std::unique_lock lock(FMutex);
      if (!FHeld) {
        FHeld = true;
        FChanged.notify_all();
        FChanged.wait(lock, [this] { return FStoppingShown; });
      }
    }
    return FInner.IsStopRequested();
  }
  // Waits until the worker has hashed its first file and looks at the flag again.
  bool WaitForWorkerHeld() {
    std::unique_lock lock(FMutex);
    return FChanged.wait_for(lock, std::chrono::seconds(20), [this] { return FHeld; });
  }

 private:
  const TFileInfo& FFirst;
  mutable std::mutex FMutex;
  mutable std::condition_variable FChanged;
  mutable bool FHeld = false;
  bool FStoppingShown = false;
};

TEST_F(HashingStage, ParallelStopShowsTheStoppingTextWhileATaskRuns) {
  const std::vector<TFileInfo*> records = AddSameSize(5, 100);
  HeldWorkerReporter held(reporter, *records[0]);
  bool pressed = false;
  reporter.OnPump = [&] {
    if (pressed || CountedStatuses().empty()) return;
    pressed = true;
    EXPECT_TRUE(held.WaitForWorkerHeld());
    reporter.Stop();
  };
  reporter.Settings.ParallelHashing = true;
  ComputeAllHashes(state, held, 1);

  EXPECT_EQ(records[0]->ContentHash, HashFileSHA1(records[0]->FullPath));
  for (size_t i = 1; i < records.size(); ++i)
    EXPECT_EQ(records[i]->ContentHash, "") << i;
  const auto stopping = reporter.StatusesStartingWith(kStopping);
  ASSERT_FALSE(stopping.empty());
  EXPECT_EQ(stopping.front(), Counted(kStopping, 1, 5));
  EXPECT_EQ(reporter.Positions[reporter.Positions.size() - 2], 1);
  EXPECT_EQ(reporter.Positions.back(), 0);
}

// An error on the window's thread while workers run ends the stage with that error, and no
// worker touches a record afterwards (the thread sanitizer would see it).
TEST_F(HashingStage, AnErrorWhileWatchingStopsAndJoinsTheWorkers) {
  const std::vector<TFileInfo*> records = AddSameSize(200, 5000);
  reporter.OnPump = [this] {
    if (!CountedStatuses().empty()) throw std::runtime_error("window gone");
  };
  EXPECT_THROW(Run(true, 4), std::runtime_error);
  for (TFileInfo* record : records) {
    if (!record->ContentHash.empty()) {
      EXPECT_EQ(record->ContentHash, HashFileSHA1(record->FullPath));
    }
  }
}

// ---- Stop, failed thread starts, long paths, errors, bytes ---------------------------------

// Turns the stop flag on at a given look once hashing has begun, from whichever thread looks,
// as a Stop pressed while files are read.
class StopAtLookReporter final : public ForwardingReporter {
 public:
  StopAtLookReporter(RecordingReporter& inner, int look) : ForwardingReporter(inner), FLook(look) {}
  bool IsStopRequested() const override {
    if (HashingBegan && ++FLooks == FLook) FInner.Stop();
    return FInner.IsStopRequested();
  }

 private:
  const int FLook;
  mutable std::atomic<int> FLooks{0};
};

// A file of `size` zero bytes, made without writing them.
std::string SparseFile(TempTree& tree, const std::string& name, int64_t size) {
  const std::string path = tree.File(name, "");
  if (::truncate(path.c_str(), size) != 0) throw std::runtime_error("cannot size " + path);
  return path;
}

// A stop is seen within a block or two, wherever the reading is: in large files (read alone in
// sequential mode, side by side in parallel mode) and in the edge blocks of many files. What
// was being read keeps an empty hash, and the stage leaves without reading the rest.
TEST_P(HashingStageInBothModes, AStopIsSeenBetweenTwoBlocks) {
  constexpr int64_t kLarge = 64 * static_cast<int64_t>(kHashReadBlockSize);
  const struct {
    const char* what;
    int files;
    int64_t size;
  } cases[] = {{"two large files", 2, kLarge}, {"many files' edge blocks", 300, kCheckedSize}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    state.FFiles.clear();
    state.FStopRequested = false;
    reporter.Statuses.clear();
    for (int i = 0; i < c.files; ++i)
      Add(SparseFile(tree, std::string(c.what) + "/" + std::to_string(i), c.size), c.size);
    StopAtLookReporter stopping(reporter, 12);
    reporter.Settings.ParallelHashing = GetParam();
    ComputeAllHashes(state, stopping, 2);

    EXPECT_EQ(Hashes(), std::vector<std::string>(static_cast<size_t>(c.files), ""));
    ASSERT_FALSE(stopping.Bytes.empty());
    EXPECT_LT(stopping.Bytes.back().first, c.files * c.size / 4);
    EXPECT_TRUE(CountedStatuses().empty() ||
                CountedStatuses().back() == Counted(kStopping, 0, c.files))
        << reporter.LastStatus();
    EXPECT_EQ(state.Summary.Skipped.Total(), 0u);  // a stop is no skip
  }
}

// A worker starter that the system refuses from the `failFrom`-th thread on (0: never).
WorkerStarter RefusingFrom(unsigned failFrom, std::atomic<unsigned>& started) {
  return [failFrom, &started](std::function<void()> task) {
    if (failFrom != 0 && ++started >= failFrom) {
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }
    return std::jthread(std::move(task));
  };
}

// When the system refuses threads, the workers that did start do all the work; with none the
// calling thread hashes. The hashes are the same in every case, and nothing waits forever.
TEST_F(HashingStage, RefusedThreadsLeaveTheWorkToTheOthers) {
  AddSameSize(30, 100);
  const std::string base = RandomBytes(3 * kEdgeBlockSize, 3);
  for (int i = 0; i < 6; ++i)
    AddFile("alike/" + std::to_string(i), i < 4 ? base : RandomBytes(base.size(), 10 + i));
  Run(true, 4);
  const std::vector<std::string> expected = Hashes();
  ASSERT_EQ(expected[30], expected[33]);

  for (const unsigned failFrom : {1u, 2u, 4u}) {
    SCOPED_TRACE(failFrom);
    for (const auto& record : state.FFiles)
      record->ContentHash.clear();
    reporter.Statuses.clear();
    std::atomic<unsigned> started{0};
    reporter.Settings.ParallelHashing = true;
    ComputeAllHashes(state, reporter, 4, RefusingFrom(failFrom, started));
    EXPECT_EQ(Hashes(), expected);
    // Workers are watched by polls, whose last text may come before the last file is done;
    // the calling thread alone hashes the sequential way and shows every count.
    if (failFrom == 1) {
      EXPECT_EQ(reporter.LastStatus(), Counted(kComputing, 36, 36));
    }
    ASSERT_GE(reporter.Positions.size(), 2u);
    EXPECT_EQ(reporter.Positions[reporter.Positions.size() - 2], 36);
  }
}

// Files whose paths are longer than PATH_MAX are hashed like any other (one alone and side by
// side, by their edge blocks too) and grouped in content mode.
TEST_P(HashingStageInBothModes, PathsPastPathMaxAreHashedAndGrouped) {
  const std::string name(200, 'n');
  const int levels = PATH_MAX / static_cast<int>(name.size()) + 2;
  for (const size_t size : {size_t{100}, 3 * kEdgeBlockSize}) {
    SCOPED_TRACE(size);
    state.lvFiles.ClearRows();
    state.FFiles.clear();
    const std::string content = RandomBytes(size, 5);
    for (const char* top : {"a", "b"}) {
      const std::string folder = testing::MakeFolderChain(
          tree.Path(std::string(top) + std::to_string(size)), levels, name, "f", content);
      ASSERT_GT(folder.size(), size_t{PATH_MAX});
      Add(folder + "/f", static_cast<int64_t>(size));
    }
    Run(GetParam());
    EXPECT_EQ(Hashes(), std::vector<std::string>(2, Sha1Hex(content)));
    reporter.Settings.Mode = CompareMode::cmContent;
    reporter.Settings.MaxGroups = 0;
    FindFileDuplicates(state, reporter);
    EXPECT_EQ(state.lvFiles.Groups().size(), 1u);
    EXPECT_EQ(state.lvFiles.RowCount(), 2u);
  }
}

// Files that cannot be hashed are counted by kind; a file replaced by something else since
// the walk counts as vanished.
TEST_P(HashingStageInBothModes, SkippedFilesAreCountedByKind) {
  AddFile("good", "12345");
  TFileInfo& vanished = AddFile("vanished", "12345");
  ASSERT_EQ(::unlink(vanished.FullPath.c_str()), 0);
  TFileInfo& fifo = Add(tree.Path("fifo"), 5);
  ASSERT_EQ(::mkfifo(fifo.FullPath.c_str(), 0600), 0);
  Add(tree.Dir("folder"), 5);
  Add(tree.Symlink("link", vanished.FullPath), 5);
  Run(GetParam());
  const SkipLog& skipped = state.Summary.Skipped;
  EXPECT_EQ(skipped.Count(SkipKind::Vanished), 4u);
  EXPECT_EQ(skipped.Total(), 4u);
  ASSERT_EQ(skipped.Kept().size(), 4u);
  for (const SkippedEntry& entry : skipped.Kept())
    EXPECT_NE(entry.Path, state.FFiles[0]->FullPath);
}

// Throws a given error from the first look at the stop flag that reading makes (off the scan's
// thread in parallel mode), as a failure that is not one file's.
class FailingLookReporter final : public ForwardingReporter {
 public:
  FailingLookReporter(RecordingReporter& inner, std::function<void()> fail, bool offScanThread)
      : ForwardingReporter(inner), FFail(std::move(fail)), FOffScanThread(offScanThread) {}
  bool IsStopRequested() const override {
    const bool reading =
        FOffScanThread ? std::this_thread::get_id() != FScanThread : HashingBegan.load();
    if (reading) FFail();
    return FInner.IsStopRequested();
  }

 private:
  std::function<void()> FFail;
  bool FOffScanThread;
};

// Out of memory and programming errors are not one file's failure: they end the stage, also
// when a worker meets them (rethrown on the calling thread once every worker has finished).
TEST_P(HashingStageInBothModes, ErrorsBeyondOneFileEndTheStage) {
  AddSameSize(40, 3000);
  const std::function<void()> failures[] = {[] { throw std::bad_alloc(); },
                                            [] { throw std::logic_error("broken"); }};
  for (const auto& fail : failures) {
    FailingLookReporter failing(reporter, fail, GetParam());
    reporter.Settings.ParallelHashing = GetParam();
    try {
      ComputeAllHashes(state, failing, 4);
      ADD_FAILURE() << "no error";
    } catch (const std::bad_alloc&) {
    } catch (const std::logic_error& e) {
      EXPECT_STREQ(e.what(), "broken");
    }
    EXPECT_EQ(state.Summary.Skipped.Total(), 0u);
  }
}

// The bytes shown grow from 0 to the sum of the targets' sizes, whatever the files turn out to
// be: hashed, settled by their edge blocks, read side by side, vanished or hashed before.
TEST_P(HashingStageInBothModes, BytesGrowToTheSizeOfTheTargets) {
  AddSameSize(25, 10);
  const std::string base = RandomBytes(3 * kHashReadBlockSize + 5, 1);
  for (int i = 0; i < 5; ++i)
    AddFile("large/" + std::to_string(i), i < 3 ? base : RandomBytes(base.size(), 20 + i));
  TFileInfo& vanished = AddFile("vanished", base);
  ASSERT_EQ(::unlink(vanished.FullPath.c_str()), 0);
  state.FFiles[1]->ContentHash = "kept";
  AddFile("unique", "no twin");
  ForwardingReporter watching(reporter);
  reporter.Settings.ParallelHashing = GetParam();
  ComputeAllHashes(state, watching, 3);

  const int64_t total = 25 * 10 + 6 * static_cast<int64_t>(base.size());
  ASSERT_FALSE(watching.Bytes.empty());
  int64_t last = 0;
  for (const auto& [done, shownTotal] : watching.Bytes) {
    EXPECT_EQ(shownTotal, total);
    EXPECT_GE(done, last);
    last = done;
  }
  EXPECT_EQ(watching.Bytes.back().first, total);
  if (!GetParam()) {
    EXPECT_EQ(watching.Bytes.front().first, 0);
  }
}

}  // namespace
}  // namespace parvolane
