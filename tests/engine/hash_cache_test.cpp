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

#include "engine/cached_hashes.h"
#include "engine/fs_identity.h"
#include "engine/hashing.h"
#include "engine/scan_driver.h"
#include "engine/scan_summary_text.h"
#include "support/recording_reporter.h"
#include "support/temp_tree.h"
#include "support/unprivileged.h"

namespace parvolane {
namespace {

using testing::TempTree;

// The key of a file as if it lay on the file system named `fileSystem`.
HashCacheKey KeyOf(HashCache& cache, const std::string& path,
                   std::string_view fileSystem = "disk-a") {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return HashCacheKeyOf(cache.FileSystem(fileSystem), st);
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

// The birth time as the folder walk records it (0 where the file system keeps none).
int64_t BirthOf(const std::string& path) {
  struct statx sx {};
  EXPECT_EQ(::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME, &sx), 0) << path;
  if ((sx.stx_mask & STATX_BTIME) == 0) return 0;
  return sx.stx_btime.tv_sec * 1000000000LL + sx.stx_btime.tv_nsec;
}

void Exec(sqlite3* db, const char* sql) {
  char* error = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, &error), SQLITE_OK) << sql << ": " << error;
  sqlite3_free(error);
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
    cache.Store(KeyOf(cache, file), HashFileSHA1(file));
    cache.Flush();

    const std::string now = change.Apply(tree, file);
    const std::optional<std::string> cached = cache.Lookup(KeyOf(cache, now)).Sha1;
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
  const HashCacheKey old = KeyOf(cache, first);
  cache.Store(old, HashFileSHA1(first));
  cache.Flush();
  ::unlink(first.c_str());
  // File systems hand out a freed inode number again soon; try until one is reused.
  for (int i = 0; i < 50; ++i) {
    const std::string next = tree.File("b" + std::to_string(i), "other content");
    const HashCacheKey key = KeyOf(cache, next);
    if (key.Inode == old.Inode) {
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
    cache.Store(KeyOf(cache, file), HashFileSHA1(file));
    EXPECT_FALSE(cache.Lookup(KeyOf(cache, file)).Sha1) << "stores are written by Flush";
    cache.Flush();
  }
  struct stat st {};
  ASSERT_EQ(::stat(db.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(tree.Path("deep/parvolane").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  HashCache again(db);
  EXPECT_EQ(again.Lookup(KeyOf(again, file)).Sha1, HashFileSHA1(file));
  EXPECT_EQ(again.EntryCount(), 1);
}

TEST(HashCache, EdgeSignaturesOfAnotherKindAreForgottenAndHashesKept) {
  TempTree tree;
  const std::string db = tree.Path("hashes.sqlite");
  const std::string file = tree.File("f", "content");
  {
    HashCache cache(db, 1);
    cache.Store(KeyOf(cache, file), HashFileSHA1(file), 77);
    cache.Flush();
    EXPECT_EQ(cache.Lookup(KeyOf(cache, file)).EdgeSignature, 77u);
  }
  {
    HashCache same(db, 1);
    EXPECT_EQ(same.Lookup(KeyOf(same, file)).EdgeSignature, 77u);
  }
  HashCache other(db, 2);
  const HashCache::Facts facts = other.Lookup(KeyOf(other, file));
  EXPECT_FALSE(facts.EdgeSignature);
  EXPECT_EQ(facts.Sha1, HashFileSHA1(file));
}

TEST(HashCache, DropsEntriesNotMetForTheGivenAge) {
  TempTree tree;
  HashCache cache(tree.Path("hashes.sqlite"));
  const std::string kept = tree.File("kept", "k");
  const std::string old = tree.File("old", "o");
  cache.Store(KeyOf(cache, kept), HashFileSHA1(kept));
  cache.Store(KeyOf(cache, old), HashFileSHA1(old));
  cache.Flush();
  EXPECT_EQ(cache.EntryCount(), 2);
  // Old entries are dropped by the first save of a day only: reading millions of rows on
  // every save would hold up every scan.
  cache.Flush(-1);  // everything stored before tomorrow counts as stale
  EXPECT_EQ(cache.EntryCount(), 2);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(tree.Path("hashes.sqlite").c_str(), &db), SQLITE_OK);
  Exec(db, "UPDATE meta SET value=value-1 WHERE name='pruned_day'");
  sqlite3_close(db);
  cache.Flush(-1);
  EXPECT_EQ(cache.EntryCount(), 0);
}

TEST(HashCache, AnUnusableDatabaseGivesUpWithAReasonAndNeverAnswers) {
  TempTree tree;
  const std::string file = tree.File("f", "content");

  const std::string corrupt = tree.File("corrupt.sqlite", std::string(8192, 'x'));
  HashCache fromCorrupt(corrupt);
  const HashCacheKey key = KeyOf(fromCorrupt, file);
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
  cache.Store(KeyOf(cache, file), HashFileSHA1(file));
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
  EXPECT_FALSE(first.Lookup(KeyOf(first, a)).Sha1);
  EXPECT_FALSE(second.Lookup(KeyOf(second, b)).Sha1);
  first.Store(KeyOf(first, a), HashFileSHA1(a));
  second.Store(KeyOf(second, b), HashFileSHA1(b));
  first.Flush();
  second.Flush();
  EXPECT_TRUE(first.Usable() && second.Usable()) << first.Problem() << second.Problem();
  EXPECT_EQ(first.Lookup(KeyOf(first, b)).Sha1, HashFileSHA1(b));
  EXPECT_EQ(second.Lookup(KeyOf(second, a)).Sha1, HashFileSHA1(a));
}

TEST(HashCache, AFullDiskOrAReadOnlyDatabaseIsGivenUpQuietly) {
  TempTree tree;
  const std::string db = tree.Path("hashes.sqlite");
  const std::string file = tree.File("f", "content");
  const std::string sha1 = HashFileSHA1(file);
  { HashCache(db).Flush(); }
  // A full disk: every write past a few bytes fails with EFBIG.
  const int full = InChild([&] {
    std::signal(SIGXFSZ, SIG_IGN);
    HashCache cache(db);
    const HashCacheKey key = KeyOf(cache, file);
    const rlimit tiny{1, 1};
    ::setrlimit(RLIMIT_FSIZE, &tiny);
    for (int i = 0; i < 2000; ++i) {
      HashCacheKey other = key;
      other.Inode += static_cast<uint64_t>(i);
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
    cache.Store(KeyOf(cache, file), sha1);
    cache.Flush();
    if (cache.Usable()) return std::string("still usable");
    return std::string(cache.Problem().empty() ? "given up without a reason" : "given up");
  });
  if (!readOnly) GTEST_SKIP() << "cannot become nobody (65534) to meet a read-only database";
  EXPECT_EQ(*readOnly, "given up");
}

TEST(HashCache, AnswersOnlyForTheFileSystemAndBirthTimeItWasStoredWith) {
  TempTree tree;
  const std::string db = tree.Path("cache/hashes.sqlite");
  const std::string file = tree.File("f", "0123456789");
  {
    HashCache cache(db);
    HashCacheKey key = KeyOf(cache, file, "disk-a");
    key.BirthNs = 111;
    cache.Store(key, HashFileSHA1(file));
    cache.Flush();
  }
  struct Case {
    const char* Name;
    std::string_view FileSystem;
    int64_t BirthNs;
    bool ExpectHit;
  };
  const Case cases[] = {
      {"the same file", "disk-a", 111, true},
      {"another disk with the same inode, size and times", "disk-b", 111, false},
      {"a file born later on the same inode", "disk-a", 112, false},
      {"the birth time unknown", "disk-a", 0, false},
  };
  for (const Case& c : cases) {
    HashCache cache(db);
    cache.FileSystem("disk-c");  // numbers are the cache's own: the stored ones are not reused
    HashCacheKey key = KeyOf(cache, file, c.FileSystem);
    key.BirthNs = c.BirthNs;
    EXPECT_EQ(cache.Lookup(key).Sha1.has_value(), c.ExpectHit) << c.Name;
  }
}

TEST(HashCache, EntriesOfTheOldLayoutAreDroppedNeverUsed) {
  TempTree tree;
  const std::string db = tree.Path("hashes.sqlite");
  const std::string file = tree.File("f", "content");
  struct stat st {};
  ASSERT_EQ(::lstat(file.c_str(), &st), 0);
  sqlite3* old = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &old), SQLITE_OK);
  Exec(old,
       "CREATE TABLE hashes (dev INTEGER NOT NULL, ino INTEGER NOT NULL, size INTEGER NOT NULL,"
       " mtime_ns INTEGER NOT NULL, ctime_ns INTEGER NOT NULL, sha1 TEXT, edge INTEGER,"
       " seen_day INTEGER NOT NULL, PRIMARY KEY (dev, ino)) WITHOUT ROWID;"
       "CREATE TABLE meta (name TEXT PRIMARY KEY, value INTEGER NOT NULL); PRAGMA user_version=1");
  const std::string row = "INSERT INTO hashes VALUES (" + std::to_string(st.st_dev) + ", " +
                          std::to_string(st.st_ino) + ", " + std::to_string(st.st_size) + ", " +
                          std::to_string(HashCacheKeyOf(0, st).MTimeNs) + ", " +
                          std::to_string(HashCacheKeyOf(0, st).CTimeNs) + ", '" +
                          std::string(40, 'a') + "', NULL, 0)";
  Exec(old, row.c_str());
  sqlite3_close(old);
  ASSERT_EQ(::chmod(db.c_str(), 0600), 0);

  HashCache cache(db);
  ASSERT_TRUE(cache.Usable()) << cache.Problem();
  EXPECT_FALSE(cache.HasEntries());
  EXPECT_FALSE(cache.Lookup(KeyOf(cache, file)).Sha1);
  cache.Store(KeyOf(cache, file), HashFileSHA1(file));
  cache.Flush();
  HashCache again(db);
  EXPECT_EQ(again.Lookup(KeyOf(again, file)).Sha1, HashFileSHA1(file));
  EXPECT_EQ(again.EntryCount(), 1);
}

// A cache folder and database that others could have written or replaced are never read.
TEST(HashCache, IsUsedOnlyWhenTheFolderAndTheDatabaseAreTheUsersAlone) {
  const bool root = ::geteuid() == 0;
  struct Case {
    const char* Name;
    bool NeedsRoot;  // giving an entry to another user
    std::function<void(TempTree&)> Change;
    const char* Expected;  // a part of the reason; empty: the cache is used
  };
  const auto chown = [](const std::string& path) {
    ASSERT_EQ(::lchown(path.c_str(), testing::kNobody, testing::kNobody), 0) << path;
  };
  const auto chmod = [](const std::string& path, mode_t mode) {
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
  };
  const auto replaceByLink = [](TempTree& t, const std::string& name) {
    const std::string real = t.Path(name + ".real");
    ASSERT_EQ(::rename(t.Path(name).c_str(), real.c_str()), 0);
    ASSERT_EQ(::symlink(real.c_str(), t.Path(name).c_str()), 0);
  };
  const Case cases[] = {
      {"as created", false, [](TempTree&) {}, ""},
      {"the parent writable by all, but sticky", false,
       [&](TempTree& t) { chmod(t.Root(), 01777); }, ""},
      {"the folder readable by all", false, [&](TempTree& t) { chmod(t.Path("cache"), 0755); }, ""},
      {"the parent writable by all", false, [&](TempTree& t) { chmod(t.Root(), 0777); },
       "lets other users replace"},
      {"the parent of another user", true, [&](TempTree& t) { chown(t.Root()); },
       "lets other users replace"},
      {"the folder writable by the group", false,
       [&](TempTree& t) { chmod(t.Path("cache"), 0770); }, "may be written by other users"},
      {"the folder of another user", true, [&](TempTree& t) { chown(t.Path("cache")); },
       "belongs to another user"},
      {"the folder a link", false, [&](TempTree& t) { replaceByLink(t, "cache"); }, "is a link"},
      {"the database writable by others", false,
       [&](TempTree& t) { chmod(t.Path("cache/hashes.sqlite"), 0606); },
       "may be written by other users"},
      {"the database of another user", true,
       [&](TempTree& t) { chown(t.Path("cache/hashes.sqlite")); }, "belongs to another user"},
      {"the database a link", false, [&](TempTree& t) { replaceByLink(t, "cache/hashes.sqlite"); },
       "is a link"},
      {"the database a folder", false,
       [&](TempTree& t) {
         ::unlink(t.Path("cache/hashes.sqlite").c_str());
         t.Dir("cache/hashes.sqlite");
       },
       "is not a regular file"},
      {"a side file of another user", true,
       [&](TempTree& t) {
         t.File("cache/hashes.sqlite-wal", "");
         chown(t.Path("cache/hashes.sqlite-wal"));
       },
       "belongs to another user"},
      {"a side file a link", false,
       [&](TempTree& t) {
         const std::string elsewhere = t.File("elsewhere", "");
         ASSERT_EQ(::symlink(elsewhere.c_str(), t.Path("cache/hashes.sqlite-shm").c_str()), 0);
       },
       "is a link"},
  };
  for (const Case& c : cases) {
    if (c.NeedsRoot && !root) continue;
    TempTree tree;
    const std::string db = tree.Path("cache/hashes.sqlite");
    const std::string file = tree.File("f", "content");
    {
      HashCache cache(db);
      cache.Store(KeyOf(cache, file), HashFileSHA1(file));
      cache.Flush();
      ASSERT_TRUE(cache.Usable()) << cache.Problem();
    }
    c.Change(tree);
    HashCache cache(db);
    if (c.Expected[0] == '\0') {
      EXPECT_TRUE(cache.Usable()) << c.Name << ": " << cache.Problem();
      EXPECT_EQ(cache.Lookup(KeyOf(cache, file)).Sha1, HashFileSHA1(file)) << c.Name;
    } else {
      EXPECT_FALSE(cache.Usable()) << c.Name;
      EXPECT_NE(cache.Problem().find(c.Expected), std::string::npos)
          << c.Name << ": " << cache.Problem();
      EXPECT_FALSE(cache.Lookup(KeyOf(cache, file)).Sha1) << c.Name;
    }
  }
}

TEST(HashCache, AStopEndsTheWaitForAnotherProgramQuietly) {
  TempTree tree;
  // A wait that did not see the stop would outlast the test's time-out.
  constexpr int kHour = 3'600'000;
  const std::string held = tree.Path("held.sqlite");
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(held.c_str(), &other), SQLITE_OK);
  Exec(other, "CREATE TABLE t (x); BEGIN EXCLUSIVE; INSERT INTO t VALUES (1)");
  HashCache opening(held, 0, kHour, [] { return true; });
  EXPECT_FALSE(opening.Usable());
  EXPECT_EQ(opening.Problem(), "");
  sqlite3_close(other);

  const std::string db = tree.Path("hashes.sqlite");
  bool stop = false;
  HashCache flushing(db, 0, kHour, [&stop] { return stop; });
  ASSERT_TRUE(flushing.Usable()) << flushing.Problem();
  ASSERT_EQ(sqlite3_open(db.c_str(), &other), SQLITE_OK);
  Exec(other, "BEGIN EXCLUSIVE; UPDATE meta SET value=value");
  const std::string file = tree.File("f", "content");
  flushing.Store(KeyOf(flushing, file), HashFileSHA1(file));
  stop = true;
  flushing.Flush();
  EXPECT_FALSE(flushing.Usable());
  EXPECT_EQ(flushing.Problem(), "");
  sqlite3_close(other);
}

TEST(FileSystemIdentity, NamesTheDiskOfTemporaryFilesAndNoMemoryFileSystem) {
  TempTree tree;
  const std::string a = tree.File("a", "a");
  const std::string b = tree.File("sub/b", "b");
  struct stat st {};
  ASSERT_EQ(::lstat(a.c_str(), &st), 0);
  const std::optional<std::string> identity = FileSystemIdentityOf(a, st.st_dev);
  ASSERT_TRUE(identity) << "the cache would never work for " << tree.Root();
  EXPECT_EQ(FileSystemIdentityOf(b, st.st_dev), identity);
  EXPECT_FALSE(FileSystemIdentityOf(a, st.st_dev + 1)) << "a file is where its folder is";

  char shm[] = "/dev/shm/parvolane-XXXXXX";
  const int fd = ::mkstemp(shm);
  if (fd < 0) GTEST_SKIP() << "no /dev/shm";
  ::close(fd);
  ASSERT_EQ(::lstat(shm, &st), 0);
  EXPECT_FALSE(FileSystemIdentityOf(shm, st.st_dev)) << "tmpfs numbers its files anew";
  ::unlink(shm);
}

// Records as the walk makes them, hashed by the stage where the cache gave no hash.
struct Stage {
  std::vector<std::unique_ptr<TFileInfo>> Records;
  std::vector<TFileInfo*> Targets;
};

Stage StageOf(const std::vector<std::string>& paths) {
  Stage stage;
  for (const std::string& path : paths) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0);
    auto record = std::make_unique<TFileInfo>(path, static_cast<int64_t>(st.st_size));
    record->Id = FileId{st.st_dev, st.st_ino};
    record->MTimeNs = MTimeNsOf(st);
    record->CTimeNs = CTimeNsOf(st);
    record->BirthNs = BirthOf(path);
    stage.Targets.push_back(record.get());
    stage.Records.push_back(std::move(record));
  }
  return stage;
}

TEST(CachedHashes, AnswersOnlyOnTheFileSystemItStoredFromAndLeavesOthersAlone) {
  TempTree tree;
  const std::vector<std::string> files = {tree.File("a", "first"), tree.File("b", "other")};
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));  // changed files are not stored
  using Identity = std::optional<std::string>;
  struct Case {
    const char* Name;
    Identity First;
    Identity Second;
    size_t ExpectHits;
    size_t ExpectLeftOut;
  };
  const Case cases[] = {
      {"the same file system again", "disk-a", "disk-a", 2, 0},
      {"another disk on the same device number", "disk-a", "disk-b", 0, 0},
      {"a file system without a lasting identity", std::nullopt, std::nullopt, 0, 2},
      {"a file system that lost its identity", "disk-a", std::nullopt, 0, 2},
  };
  for (const Case& c : cases) {
    TempTree cacheFolder;
    const std::string db = cacheFolder.Path("hashes.sqlite");
    const auto run = [&](const Identity& identity) {
      Stage stage = StageOf(files);
      ScanState state;
      testing::RecordingReporter reporter(state);
      CachedHashes cache(db, {}, [&](const std::string&, uint64_t) { return identity; });
      cache.Apply(stage.Targets, reporter);
      for (TFileInfo* target : stage.Targets) {
        if (target->ContentHash.empty()) target->ContentHash = HashFileSHA1(target->FullPath);
      }
      cache.Save(stage.Targets);
      for (TFileInfo* target : stage.Targets)
        EXPECT_EQ(target->ContentHash, HashFileSHA1(target->FullPath)) << c.Name;
      return std::pair(cache.Hits(), cache.LeftOut());
    };
    run(c.First);
    EXPECT_EQ(run(c.Second), std::pair(c.ExpectHits, c.ExpectLeftOut)) << c.Name;
    if (!c.First) {
      EXPECT_EQ(HashCache(db).EntryCount(), 0) << c.Name << ": stored";
    }
  }
}

TEST(HashCache, TheSummaryCountsTheFilesLeftOutOnce) {
  ScanFacts facts;
  facts.FileClones = true;
  facts.CacheLeftOut = 1;
  EXPECT_EQ(SummaryText(facts),
            "0 groups, 0 files, 0 B in extra copies; hash cache not used for 1 file (file "
            "system without a stable identity)");
  facts.CacheLeftOut = 2;
  facts.CacheProblem = "the database was written by a newer version";
  EXPECT_EQ(SummaryText(facts),
            "0 groups, 0 files, 0 B in extra copies; hash cache not used: the database was "
            "written by a newer version; hash cache not used for 2 files (file system without "
            "a stable identity)");
}

using Groups = std::set<std::set<std::string>>;

struct ScanResult {
  Groups FileGroups;
  std::vector<std::string> Statuses;
  size_t CacheHits = 0;
  std::string CacheProblem;
};

// A scan of the tree, with the cache at `cachePath` (none when empty).
ScanResult Scan(const TempTree& tree, const std::string& cachePath, bool parallel) {
  ScanState state;
  testing::RecordingReporter reporter(state);
  reporter.Settings.Folders = {tree.Root() + "/"};
  reporter.Settings.MinSizeMB = 0;
  reporter.Settings.MaxGroups = 0;
  reporter.Settings.ParallelHashing = parallel;
  reporter.Settings.UseHashCache = !cachePath.empty();
  reporter.Settings.HashCachePath = cachePath;
  ScanDriver(state, reporter).btnScanClick();
  std::map<int, std::set<std::string>> byGroup;
  for (const ResultRow& row : state.lvFiles.Rows())
    byGroup[row.GroupId].insert(row.Path);
  ScanResult result;
  for (auto& [id, members] : byGroup)
    result.FileGroups.insert(members);
  result.Statuses = reporter.Statuses;
  result.CacheHits = state.Summary.CacheHits;
  result.CacheProblem = state.Summary.CacheProblem;
  return result;
}

// Another user plants a database in a shared cache folder before the first scan, with the
// same hash for two different files: the scan must not take it.
TEST(HashCache, ADatabasePlantedByAnotherUserIsNotUsed) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to play another user";
  TempTree shared;
  TempTree tree;
  const std::vector<std::string> files = {tree.File("a", "first"), tree.File("b", "other")};
  testing::ShareWithNobody(tree.Root());
  ASSERT_EQ(::chmod(shared.Root().c_str(), 01777), 0);
  const std::string db = shared.Path("parvolane/hashes.sqlite");
  const std::optional<std::string> planted = testing::RunUnprivileged([&] {
    HashCache cache(db);
    for (const std::string& file : files) {
      struct stat st {};
      ::lstat(file.c_str(), &st);
      const std::optional<std::string> identity = FileSystemIdentityOf(file, st.st_dev);
      if (!identity) return std::string("no identity");
      cache.Store(HashCacheKeyOf(cache.FileSystem(*identity), st, BirthOf(file)),
                  std::string(40, 'f'));
    }
    cache.Flush();
    for (const char* side : {"", "-wal", "-shm"})
      ::chmod((db + side).c_str(), 0666);
    ::chmod(shared.Path("parvolane").c_str(), 0777);
    return cache.Usable() ? std::string("planted") : cache.Problem();
  });
  ASSERT_TRUE(planted) << "cannot become nobody (65534)";
  ASSERT_EQ(*planted, "planted");
  const ScanResult scan = Scan(tree, db, false);
  EXPECT_TRUE(scan.FileGroups.empty());
  EXPECT_NE(scan.CacheProblem.find("belongs to another user"), std::string::npos)
      << scan.CacheProblem;
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
  TempTree cacheFolder;
  const std::string db = cacheFolder.Path("hashes.sqlite");
  for (const bool parallel : {false, true}) {
    for (const char* file : {"", "-wal", "-shm"})
      ::unlink((db + file).c_str());
    const ScanResult plain = Scan(tree, "", parallel);
    ASSERT_FALSE(plain.FileGroups.empty());
    const ScanResult filling = Scan(tree, db, parallel);
    const ScanResult warm = Scan(tree, db, parallel);
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
  const Groups before = Scan(tree, "", true).FileGroups;
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
    EXPECT_EQ(Scan(tree, db, parallel).FileGroups, Scan(tree, "", parallel).FileGroups)
        << (parallel ? "parallel" : "sequential");
  }
}

}  // namespace
}  // namespace parvolane
