#include "engine/hash_cache.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "engine/hashing.h"
#include "engine/scan_driver.h"
#include "support/recording_reporter.h"
#include "support/temp_tree.h"
#include "support/unprivileged.h"

namespace parvolane {
namespace {

using testing::TempTree;

HashCacheKey KeyOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return HashCacheKeyOf(st);
}

void Rewrite(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// Runs `body` in a child process and returns its exit status; the child is where limits and
// privileges can change without touching the test.
int InChild(const std::function<int()>& body) {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(body());
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void SetUserVersion(const std::string& db, int version) {
  sqlite3* handle = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &handle), SQLITE_OK);
  const std::string sql = "PRAGMA user_version=" + std::to_string(version);
  EXPECT_EQ(sqlite3_exec(handle, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(handle);
}

// What the file holds now and what the cache answers for its key now: a cached answer must
// always be the hash of the current content.
struct Change {
  const char* Name;
  std::function<std::string(TempTree&, const std::string&)> Apply;  // returns the path to look up
  bool ExpectHit;
};

TEST(HashCache, AnswersOnlyForTheExactStateOfAFile) {
  const Change changes[] = {
      {"nothing changed", [](TempTree&, const std::string& p) { return p; }, true},
      {"its other hard link", [](TempTree& t, const std::string&) { return t.Path("link"); }, true},
      {"rewritten with the same size and the old times",
       [](TempTree&, const std::string& p) {
         struct stat before {};
         ::stat(p.c_str(), &before);
         Rewrite(p, "XXXXXXXXXX");
         const timespec times[2] = {before.st_atim, before.st_mtim};
         ::utimensat(AT_FDCWD, p.c_str(), times, 0);
         return p;
       },
       false},
      {"touched",
       [](TempTree&, const std::string& p) {
         const timespec times[2] = {{0, UTIME_NOW}, {12345, 0}};
         ::utimensat(AT_FDCWD, p.c_str(), times, 0);
         return p;
       },
       false},
      {"grown",
       [](TempTree&, const std::string& p) {
         Rewrite(p, "0123456789+");
         return p;
       },
       false},
      {"renamed",
       [](TempTree& t, const std::string& p) {
         const std::string moved = t.Path("moved");
         ::rename(p.c_str(), moved.c_str());
         return moved;
       },
       false},
  };
  for (const Change& change : changes) {
    TempTree tree;
    const std::string file = tree.File("f", "0123456789");
    tree.HardLink("link", file);
    HashCache cache(tree.Path("cache/hashes.sqlite"));
    ASSERT_TRUE(cache.Usable()) << cache.Problem();
    cache.Store(KeyOf(file), HashFileSHA1(file));
    cache.Flush();

    const std::string now = change.Apply(tree, file);
    const std::optional<std::string> cached = cache.Lookup(KeyOf(now)).Sha1;
    if (cached) {
      EXPECT_EQ(*cached, HashFileSHA1(now)) << change.Name;
    }
    // A rename changes the status-change time, so it is a (harmless) miss.
    EXPECT_EQ(cached.has_value(), change.ExpectHit) << change.Name;
  }
}

TEST(HashCache, ANewFileOnAReusedInodeIsAMiss) {
  TempTree tree;
  HashCache cache(tree.Path("hashes.sqlite"));
  const std::string first = tree.File("a", "first content");
  const HashCacheKey old = KeyOf(first);
  cache.Store(old, HashFileSHA1(first));
  cache.Flush();
  ::unlink(first.c_str());
  // File systems hand out a freed inode number again soon; try until one is reused.
  for (int i = 0; i < 50; ++i) {
    const std::string next = tree.File("b" + std::to_string(i), "other content");
    const HashCacheKey key = KeyOf(next);
    if (key.Id == old.Id) {
      EXPECT_FALSE(cache.Lookup(key).Sha1) << "a reused inode took the old file's hash";
      return;
    }
  }
  HashCacheKey reused = old;  // none reused: the same number with the new file's times
  reused.CTimeNs += 1;
  EXPECT_FALSE(cache.Lookup(reused).Sha1);
}

TEST(HashCache, IsCreatedPrivateAndRemembersAcrossOpenings) {
  TempTree tree;
  const std::string db = tree.Path("deep/parvolane/hashes.sqlite");
  const std::string file = tree.File("f", "content");
  {
    HashCache cache(db);
    cache.Store(KeyOf(file), HashFileSHA1(file));
    EXPECT_FALSE(cache.Lookup(KeyOf(file)).Sha1) << "stores are written by Flush";
    cache.Flush();
  }
  struct stat st {};
  ASSERT_EQ(::stat(db.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(tree.Path("deep/parvolane").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  HashCache again(db);
  EXPECT_EQ(again.Lookup(KeyOf(file)).Sha1, HashFileSHA1(file));
  EXPECT_EQ(again.EntryCount(), 1);
}

TEST(HashCache, EdgeSignaturesOfAnotherKindAreForgottenAndHashesKept) {
  TempTree tree;
  const std::string db = tree.Path("hashes.sqlite");
  const std::string file = tree.File("f", "content");
  {
    HashCache cache(db, 1);
    cache.Store(KeyOf(file), HashFileSHA1(file), 77);
    cache.Flush();
    EXPECT_EQ(cache.Lookup(KeyOf(file)).EdgeSignature, 77u);
  }
  EXPECT_EQ(HashCache(db, 1).Lookup(KeyOf(file)).EdgeSignature, 77u);
  HashCache other(db, 2);
  const HashCache::Facts facts = other.Lookup(KeyOf(file));
  EXPECT_FALSE(facts.EdgeSignature);
  EXPECT_EQ(facts.Sha1, HashFileSHA1(file));
}

TEST(HashCache, DropsEntriesNotMetForTheGivenAge) {
  TempTree tree;
  HashCache cache(tree.Path("hashes.sqlite"));
  const std::string kept = tree.File("kept", "k");
  const std::string old = tree.File("old", "o");
  cache.Store(KeyOf(kept), HashFileSHA1(kept));
  cache.Store(KeyOf(old), HashFileSHA1(old));
  cache.Flush();
  EXPECT_EQ(cache.EntryCount(), 2);
  cache.Flush(-1);  // everything stored before tomorrow counts as stale
  EXPECT_EQ(cache.EntryCount(), 0);
}

TEST(HashCache, AnUnusableDatabaseGivesUpWithAReasonAndNeverAnswers) {
  TempTree tree;
  const std::string file = tree.File("f", "content");
  const HashCacheKey key = KeyOf(file);

  const std::string corrupt = tree.File("corrupt.sqlite", std::string(8192, 'x'));
  HashCache fromCorrupt(corrupt);
  EXPECT_FALSE(fromCorrupt.Usable());
  EXPECT_FALSE(fromCorrupt.Problem().empty());
  EXPECT_FALSE(fromCorrupt.Lookup(key).Sha1);
  fromCorrupt.Store(key, HashFileSHA1(file));
  fromCorrupt.Flush();  // nothing to do, and no error

  const std::string newer = tree.Path("newer.sqlite");
  { HashCache(newer).Flush(); }
  SetUserVersion(newer, 99);
  HashCache fromNewer(newer);
  EXPECT_FALSE(fromNewer.Usable());
  EXPECT_NE(fromNewer.Problem().find("newer version"), std::string::npos);

  tree.File("file-in-the-way", "");
  HashCache blocked(tree.Path("file-in-the-way/hashes.sqlite"));
  EXPECT_FALSE(blocked.Usable());
  EXPECT_FALSE(blocked.Problem().empty());
}

TEST(HashCache, ALockedDatabaseFailsTheFlushNotTheCaller) {
  TempTree tree;
  const std::string db = tree.Path("hashes.sqlite");
  const std::string file = tree.File("f", "content");
  HashCache cache(db, 0, 100);
  ASSERT_TRUE(cache.Usable());
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  cache.Store(KeyOf(file), HashFileSHA1(file));
  cache.Flush();
  EXPECT_FALSE(cache.Usable());
  EXPECT_FALSE(cache.Problem().empty());
  sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(other);
}

TEST(HashCache, TwoProgramsAtOnceBothKeepTheirHashes) {
  TempTree tree;
  const std::string db = tree.Path("hashes.sqlite");
  const std::string a = tree.File("a", "aaa");
  const std::string b = tree.File("b", "bbb");
  HashCache first(db);
  HashCache second(db);
  EXPECT_FALSE(first.Lookup(KeyOf(a)).Sha1);
  EXPECT_FALSE(second.Lookup(KeyOf(b)).Sha1);
  first.Store(KeyOf(a), HashFileSHA1(a));
  second.Store(KeyOf(b), HashFileSHA1(b));
  first.Flush();
  second.Flush();
  EXPECT_TRUE(first.Usable() && second.Usable()) << first.Problem() << second.Problem();
  EXPECT_EQ(first.Lookup(KeyOf(b)).Sha1, HashFileSHA1(b));
  EXPECT_EQ(second.Lookup(KeyOf(a)).Sha1, HashFileSHA1(a));
}

TEST(HashCache, AFullDiskOrAReadOnlyDatabaseIsGivenUpQuietly) {
  TempTree tree;
  const std::string db = tree.Path("hashes.sqlite");
  const std::string file = tree.File("f", "content");
  const HashCacheKey key = KeyOf(file);
  const std::string sha1 = HashFileSHA1(file);
  { HashCache(db).Flush(); }
  // A full disk: every write past a few bytes fails with EFBIG.
  const int full = InChild([&] {
    std::signal(SIGXFSZ, SIG_IGN);
    HashCache cache(db);
    const rlimit tiny{1, 1};
    ::setrlimit(RLIMIT_FSIZE, &tiny);
    for (int i = 0; i < 2000; ++i) {
      HashCacheKey other = key;
      other.Id.Inode += static_cast<ino_t>(i);
      cache.Store(other, sha1);
    }
    cache.Flush();
    return !cache.Usable() && !cache.Problem().empty() ? 0 : 1;
  });
  EXPECT_EQ(full, 0);
  // Read-only: a database and a folder that the user may read but not write (as root, they
  // belong to someone else).
  testing::ShareWithNobody(tree.Root());
  ASSERT_EQ(::chmod(db.c_str(), 0444), 0);
  ASSERT_EQ(::chmod(tree.Root().c_str(), 0555), 0);
  const std::optional<std::string> readOnly = testing::RunUnprivileged([&] {
    HashCache cache(db);
    cache.Store(key, sha1);
    cache.Flush();
    if (cache.Usable()) return std::string("still usable");
    return std::string(cache.Problem().empty() ? "given up without a reason" : "given up");
  });
  if (!readOnly) GTEST_SKIP() << "cannot become nobody (65534) to meet a read-only database";
  EXPECT_EQ(*readOnly, "given up");
}

using Groups = std::set<std::set<std::string>>;

struct ScanResult {
  Groups FileGroups;
  std::vector<std::string> Statuses;
  size_t CacheHits = 0;
};

ScanResult Scan(const TempTree& tree, bool cached, bool parallel) {
  ScanState state;
  testing::RecordingReporter reporter(state);
  reporter.Settings.Folders = {tree.Root() + "/"};
  reporter.Settings.MinSizeMB = 0;
  reporter.Settings.MaxGroups = 0;
  reporter.Settings.ParallelHashing = parallel;
  reporter.Settings.UseHashCache = cached;
  reporter.Settings.HashCachePath = tree.Root() + "-cache.sqlite";
  ScanDriver(state, reporter).btnScanClick();
  std::map<int, std::set<std::string>> byGroup;
  for (const ResultRow& row : state.lvFiles.Rows())
    byGroup[row.GroupId].insert(row.Path);
  ScanResult result;
  for (auto& [id, members] : byGroup)
    result.FileGroups.insert(members);
  result.Statuses = reporter.Statuses;
  result.CacheHits = state.Summary.CacheHits;
  return result;
}

// Files of a few sizes, many equal, some equal only at their ends.
void MakeRandomTree(TempTree& tree, unsigned seed) {
  std::mt19937 random(seed);
  const int64_t sizes[] = {100, 4096, 5000, 70000, 300000};
  for (int i = 0; i < 60; ++i) {
    const int64_t size = sizes[random() % std::size(sizes)];
    const std::string name = "d" + std::to_string(random() % 5) + "/f" + std::to_string(i);
    tree.FileOfSize(name, size, static_cast<unsigned>(random() % 4));
  }
  // Same first and last blocks, another middle.
  std::string middle(70000, 'm');
  tree.File("edge/a", middle);
  middle[35000] = 'x';
  tree.File("edge/b", middle);
}

TEST(HashCache, AScanFindsTheSameGroupsWithAndWithoutTheCache) {
  TempTree tree;
  MakeRandomTree(tree, 7);
  // Files changed in the last moments are never stored: let the tree settle.
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  for (const bool parallel : {false, true}) {
    ::unlink((tree.Root() + "-cache.sqlite").c_str());
    const ScanResult plain = Scan(tree, false, parallel);
    ASSERT_FALSE(plain.FileGroups.empty());
    const ScanResult filling = Scan(tree, true, parallel);
    const ScanResult warm = Scan(tree, true, parallel);
    EXPECT_EQ(filling.FileGroups, plain.FileGroups);
    EXPECT_EQ(warm.FileGroups, plain.FileGroups);
    if (!parallel) {  // parallel texts follow the timing of the polls
      EXPECT_EQ(filling.Statuses, plain.Statuses) << "a cached file counts as hashed";
      EXPECT_EQ(warm.Statuses, plain.Statuses);
    }
    EXPECT_EQ(warm.Statuses.back(), plain.Statuses.back());
    EXPECT_EQ(filling.CacheHits, 0u);
    EXPECT_GT(warm.CacheHits, 0u);
  }

  // Changes the cache must notice: a copy rewritten with other bytes of the same size, one
  // grown, a new copy of a cached file, and the edge-alike pair made equal.
  const Groups before = Scan(tree, false, true).FileGroups;
  ASSERT_GE(before.size(), 3u);
  auto group = before.begin();
  const std::string rewritten = *group->begin();
  const std::string grown = *(++group)->begin();
  const std::string copied = *(++group)->begin();
  struct stat st {};
  ::stat(rewritten.c_str(), &st);
  Rewrite(rewritten, std::string(static_cast<size_t>(st.st_size), 'Z'));
  std::ofstream(grown, std::ios::binary | std::ios::app) << "more";
  std::ifstream source(copied, std::ios::binary);
  std::ofstream(tree.Path("new-copy"), std::ios::binary) << source.rdbuf();
  std::ifstream edgeA(tree.Path("edge/a"), std::ios::binary);
  std::ofstream(tree.Path("edge/b"), std::ios::binary | std::ios::trunc) << edgeA.rdbuf();
  for (const bool parallel : {false, true}) {
    EXPECT_EQ(Scan(tree, true, parallel).FileGroups, Scan(tree, false, parallel).FileGroups)
        << (parallel ? "parallel" : "sequential");
  }
}

}  // namespace
}  // namespace parvolane
