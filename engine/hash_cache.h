#pragma once

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct sqlite3;

namespace parvolane {

/// What identifies one state of a file's content without reading it. Any difference (a
/// rewrite in the same second with the same size still changes the status-change time) makes
/// a cached hash count as unknown. A device number is no part of it: another disk mounted
/// later may get the same one; the file system is named by its identity instead (see
/// FileSystemIdentityOf and HashCache::FileSystem).
struct HashCacheKey {
  uint32_t FileSystem = 0;  // what HashCache::FileSystem gave for the file's file system
  uint64_t Inode = 0;
  int64_t Size = 0;
  int64_t MTimeNs = 0;
  int64_t CTimeNs = 0;
  int64_t BirthNs = 0;  // 0 where the file system keeps no birth time
  bool operator==(const HashCacheKey&) const = default;
};

/// The key of a file on `fileSystem` as a stat record (and its birth time) give it.
HashCacheKey HashCacheKeyOf(uint32_t fileSystem, const struct stat& st, int64_t birthNs = 0);

/// A persistent store of the SHA-1 texts computed by earlier scans, in an SQLite database.
///
/// It never makes two different files look equal: a lookup answers only for the exact key
/// stored, and a database that cannot be used (missing folder, corrupt, locked too long,
/// read-only, full, written by a newer version, not the user's own) makes the cache give up
/// for the rest of its life, with one reason to show. Lookups read the database; stores are
/// collected in memory and written in one transaction by Flush, so no write happens while
/// files are read. A stop makes it give up at once and without a reason.
/// Threading: one thread at a time (the scan's thread).
class HashCache final {
 public:
  /// The database of this user: $XDG_CACHE_HOME/parvolane/hashes.sqlite (~/.cache/... when
  /// unset or not absolute); empty when no home folder is known.
  static std::string DefaultPath();

  /// Opens (creating when missing: the folder 0700, the file 0600) the database at `path`.
  /// The folder and the database must be the user's own, no link and writable by no one else,
  /// and the folder's parent must let no one else replace the folder.
  /// Never throws for a database problem: the cache is then unusable and Problem() says why.
  /// `busyTimeoutMs`: how long to wait for another program's write before giving up.
  /// `edgeFingerprint` names the way edge signatures are computed: signatures stored under
  /// another fingerprint are forgotten, never compared with new ones. `stopRequested` (may be
  /// empty) is asked while waiting for another program, in short slices.
  explicit HashCache(const std::string& path, uint64_t edgeFingerprint = 0,
                     int busyTimeoutMs = 3000, std::function<bool()> stopRequested = {});
  ~HashCache();
  HashCache(const HashCache&) = delete;
  HashCache& operator=(const HashCache&) = delete;

  bool Usable() const { return FDb != nullptr; }
  /// Why the cache is not used, for the user; empty while it works.
  const std::string& Problem() const { return FProblem; }

  /// What an earlier scan learnt of one state of a file.
  struct Facts {
    std::optional<std::string> Sha1;
    std::optional<uint64_t> EdgeSignature;
  };
  /// The number that keys of files on the file system named `identity` carry, the same for
  /// the same identity during this cache's life.
  uint32_t FileSystem(std::string_view identity);
  /// What is stored for exactly this key (nothing for any other key).
  Facts Lookup(const HashCacheKey& key);
  /// Brackets many lookups in one read transaction, so that each costs no locking of its own.
  void BeginLookups();
  void EndLookups();
  /// Remembers what was computed (an empty hash: none); written by the next Flush.
  void Store(const HashCacheKey& key, std::string_view sha1, std::optional<uint64_t> edge = {});
  /// Writes what was stored and marks the entries met by lookups as seen now, in one
  /// transaction; then drops entries not met for `maxAgeDays` days.
  void Flush(int maxAgeDays = 90);

  /// Whether the database holds any entry (false when unusable); costs one row's read.
  bool HasEntries();
  /// Entries in the database (for tests and benchmarks); -1 when unusable.
  int64_t EntryCount();

 private:
  struct FileSystemRow {
    std::string Identity;
    std::optional<int64_t> Row;  // its row in the database; none while no entry names it
  };
  struct Pending {
    HashCacheKey Key;
    std::string Sha1;
    std::optional<uint64_t> Edge;
  };
  struct Met {
    int64_t FileSystemRow;
    uint64_t Inode;
  };

  static int OnBusy(void* self, int attempts);
  bool WaitForLock(int attempts);
  bool StopRequested();
  void GiveUp(std::string_view what);
  bool Exec(const char* sql);
  bool Open(const std::string& path);
  bool Prepare();
  bool UpgradeLayout();
  bool PruneOncePerDay(int64_t today, int maxAgeDays);
  bool CheckEdgeFingerprint(uint64_t fingerprint);
  std::optional<int64_t> FindFileSystemRow(const std::string& identity, bool& failed);
  std::optional<int64_t> AddFileSystemRow(uint32_t fileSystem);
  bool Write(const Pending& pending, int64_t today);

  sqlite3* FDb = nullptr;
  struct Statements;
  std::unique_ptr<Statements> FStatements;
  std::string FProblem;
  std::function<bool()> FStopRequested;
  bool FStopSeen = false;
  int FBusyTimeoutMs = 0;
  std::chrono::steady_clock::time_point FBusySince{};
  std::vector<FileSystemRow> FFileSystems;
  std::unordered_map<std::string, uint32_t> FFileSystemIndex;
  std::vector<Pending> FPending;
  std::vector<Met> FMet;
  bool FReading = false;
};

}  // namespace parvolane
