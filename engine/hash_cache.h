#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/file_info.h"

struct sqlite3;

namespace parvolane {

/// What identifies one state of a file's content without reading it. Any difference (a
/// rewrite in the same second with the same size still changes the status-change time) makes
/// a cached hash count as unknown.
struct HashCacheKey {
  FileId Id;
  int64_t Size = 0;
  int64_t MTimeNs = 0;
  int64_t CTimeNs = 0;
  bool operator==(const HashCacheKey&) const = default;
};

/// The key of a file as a stat record gives it.
HashCacheKey HashCacheKeyOf(const struct stat& st);

/// A persistent store of the SHA-1 texts computed by earlier scans, in an SQLite database.
///
/// It never makes two different files look equal: a lookup answers only for the exact key
/// stored, and a database that cannot be used (missing folder, corrupt, locked too long,
/// read-only, full, written by a newer version) makes the cache give up for the rest of its
/// life, with one reason to show. Lookups read the database; stores are collected in memory
/// and written in one transaction by Flush, so no write happens while files are read.
/// Threading: one thread at a time (the scan's thread).
class HashCache final {
 public:
  /// The database of this user: $XDG_CACHE_HOME/parvolane/hashes.sqlite (~/.cache/... when
  /// unset or not absolute); empty when no home folder is known.
  static std::string DefaultPath();

  /// Opens (creating when missing: the folder 0700, the file 0600) the database at `path`.
  /// Never throws for a database problem: the cache is then unusable and Problem() says why.
  /// `busyTimeoutMs`: how long to wait for another program's write before giving up.
  /// `edgeFingerprint` names the way edge signatures are computed: signatures stored under
  /// another fingerprint are forgotten, never compared with new ones.
  explicit HashCache(const std::string& path, uint64_t edgeFingerprint = 0,
                     int busyTimeoutMs = 3000);
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

  /// Entries in the database (for tests and benchmarks); -1 when unusable.
  int64_t EntryCount();

 private:
  void GiveUp(std::string_view what);
  bool Exec(const char* sql);
  bool Prepare();
  bool CheckEdgeFingerprint(uint64_t fingerprint);

  sqlite3* FDb = nullptr;
  struct Statements;
  std::unique_ptr<Statements> FStatements;
  std::string FProblem;
  struct Pending {
    HashCacheKey Key;
    std::string Sha1;
    std::optional<uint64_t> Edge;
  };
  std::vector<Pending> FPending;
  std::vector<FileId> FMet;
  bool FReading = false;
};

}  // namespace parvolane
