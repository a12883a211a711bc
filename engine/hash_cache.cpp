#include "engine/hash_cache.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "engine/private_store.h"
#include "platform/posix/user_dirs.h"

namespace parvolane {

namespace {

// The layout this program writes. A database stamped with a higher number was written by a
// newer version, whose meaning of a row this one cannot know: it is left alone. Entries of an
// older layout are dropped: theirs did not name the file system.
constexpr int kSchemaVersion = 2;

constexpr const char* kCreateTables =
    "DROP TABLE IF EXISTS hashes; DROP TABLE IF EXISTS filesystems;"
    "CREATE TABLE filesystems (id INTEGER PRIMARY KEY, identity TEXT NOT NULL UNIQUE);"
    "CREATE TABLE hashes ("
    " fs INTEGER NOT NULL, ino INTEGER NOT NULL, size INTEGER NOT NULL,"
    " mtime_ns INTEGER NOT NULL, ctime_ns INTEGER NOT NULL, btime_ns INTEGER NOT NULL,"
    " sha1 TEXT, edge INTEGER, seen_day INTEGER NOT NULL, PRIMARY KEY (fs, ino)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS meta (name TEXT PRIMARY KEY, value INTEGER NOT NULL);"
    "PRAGMA user_version=2";

// Waiting for another program's lock goes in slices this long, so that a stop is seen soon.
constexpr std::chrono::milliseconds kBusySlice{20};

int64_t AsColumn(uint64_t value) {
  return static_cast<int64_t>(value);  // same bits: inode numbers use all 64
}

int64_t TodayNumber() {
  using namespace std::chrono;
  return duration_cast<days>(system_clock::now().time_since_epoch()).count();
}

bool IsSha1Text(std::string_view text) {
  if (text.size() != 40) return false;
  for (const char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

struct StatementFree {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFree>;

Statement PrepareStatement(sqlite3* db, const char* sql) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) {
    sqlite3_finalize(statement);
    return nullptr;
  }
  return Statement(statement);
}

void BindId(sqlite3_stmt* statement, int64_t fileSystemRow, uint64_t inode) {
  sqlite3_bind_int64(statement, 1, fileSystemRow);
  sqlite3_bind_int64(statement, 2, AsColumn(inode));
}

void BindText(sqlite3_stmt* statement, int index, std::string_view text) {
  sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
}

std::optional<int> UserVersion(sqlite3* db) {
  const Statement version = PrepareStatement(db, "PRAGMA user_version");
  if (version == nullptr || sqlite3_step(version.get()) != SQLITE_ROW) return std::nullopt;
  return sqlite3_column_int(version.get(), 0);
}

}  // namespace

struct HashCache::Statements {
  Statement Select;
  Statement Insert;
  Statement Touch;
  Statement Prune;
  Statement FindFileSystem;
  Statement AddFileSystem;
};

HashCacheKey HashCacheKeyOf(uint32_t fileSystem, const struct stat& st, int64_t birthNs) {
  return HashCacheKey{fileSystem,
                      st.st_ino,
                      static_cast<int64_t>(st.st_size),
                      static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
                      static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec,
                      birthNs};
}

std::string HashCache::DefaultPath() {
  const std::string folder = XdgFolder("XDG_CACHE_HOME", ".cache");
  return folder.empty() ? std::string() : folder + "/parvolane/hashes.sqlite";
}

HashCache::HashCache(const std::string& path, uint64_t edgeFingerprint, int busyTimeoutMs,
                     std::function<bool()> stopRequested)
    : FStopRequested(std::move(stopRequested)), FBusyTimeoutMs(busyTimeoutMs) {
  if (path.empty()) {
    FProblem = "no cache folder is known (HOME is not set)";
    return;
  }
  FProblem = PrivateStoreProblem(path);
  if (!FProblem.empty() || !Open(path)) return;
  // A cache may lose its last write to a power cut (WAL mode never corrupts it that way); it
  // must not make every scan wait for the disk.
  if (!Exec("PRAGMA journal_mode=WAL") || !Exec("PRAGMA synchronous=NORMAL") || !Prepare()) return;
  CheckEdgeFingerprint(edgeFingerprint);
}

bool HashCache::Open(const std::string& path) {
  const int opened =
      sqlite3_open_v2(path.c_str(), &FDb,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW, nullptr);
  if (opened != SQLITE_OK) {
    GiveUp("cannot open '" + path + "'");
    return false;
  }
  // In place of SQLite's own time-out, which would sleep through a stop.
  sqlite3_busy_handler(FDb, &HashCache::OnBusy, this);
  sqlite3_extended_result_codes(FDb, 1);
  return true;
}

int HashCache::OnBusy(void* self, int attempts) {
  return static_cast<HashCache*>(self)->WaitForLock(attempts) ? 1 : 0;
}

bool HashCache::WaitForLock(int attempts) {
  using namespace std::chrono;
  const steady_clock::time_point now = steady_clock::now();
  if (attempts == 0) FBusySince = now;
  if (StopRequested()) return false;
  const milliseconds left =
      milliseconds(FBusyTimeoutMs) - duration_cast<milliseconds>(now - FBusySince);
  if (left <= milliseconds::zero()) return false;
  std::this_thread::sleep_for(std::min(left, kBusySlice));
  return true;
}

bool HashCache::StopRequested() {
  FStopSeen = FStopSeen || (FStopRequested && FStopRequested());
  return FStopSeen;
}

// Edge signatures of another program version may be computed another way: comparing them
// with new ones could set apart two equal files, so they are dropped.
bool HashCache::CheckEdgeFingerprint(uint64_t fingerprint) {
  const Statement stored =
      PrepareStatement(FDb, "SELECT value FROM meta WHERE name='edge_fingerprint'");
  if (stored == nullptr) {
    GiveUp("the database cannot be read");
    return false;
  }
  const int stepped = sqlite3_step(stored.get());
  if (stepped == SQLITE_ROW &&
      static_cast<uint64_t>(sqlite3_column_int64(stored.get(), 0)) == fingerprint) {
    return true;
  }
  const std::string update =
      "BEGIN IMMEDIATE; UPDATE hashes SET edge=NULL;"
      "INSERT OR REPLACE INTO meta VALUES ('edge_fingerprint', " +
      std::to_string(AsColumn(fingerprint)) + "); COMMIT";
  return Exec(update.c_str());
}

HashCache::~HashCache() {
  FStatements.reset();
  if (FDb != nullptr) sqlite3_close(FDb);
}

// After a stop nothing is said: the scan ends, and the cache was not at fault.
void HashCache::GiveUp(std::string_view what) {
  if (FProblem.empty() && !StopRequested()) {
    FProblem = std::string(what);
    if (FDb != nullptr) FProblem += std::string(": ") + sqlite3_errmsg(FDb);
  }
  FStatements.reset();
  if (FDb != nullptr) sqlite3_close(FDb);
  FDb = nullptr;
  FPending.clear();
  FMet.clear();
  FReading = false;
}

bool HashCache::Exec(const char* sql) {
  if (FDb == nullptr) return false;
  if (sqlite3_exec(FDb, sql, nullptr, nullptr, nullptr) == SQLITE_OK) return true;
  GiveUp("the database cannot be used");
  return false;
}

// Makes the layout of this version, once: a second program may be doing the same, so the
// version is read again under the write lock.
bool HashCache::UpgradeLayout() {
  if (!Exec("BEGIN IMMEDIATE")) return false;
  const std::optional<int> found = UserVersion(FDb);
  if (!found) {
    GiveUp("the database cannot be read");
    return false;
  }
  if (*found < kSchemaVersion && !Exec(kCreateTables)) return false;
  return Exec("COMMIT");
}

// Checks the layout (making it in a new or older database) and prepares every statement once.
bool HashCache::Prepare() {
  const std::optional<int> found = UserVersion(FDb);
  if (!found) {
    GiveUp("the database cannot be read");
    return false;
  }
  if (*found > kSchemaVersion) {
    FProblem = "the database was written by a newer version";
    GiveUp(FProblem);
    return false;
  }
  if (*found < kSchemaVersion && !UpgradeLayout()) return false;
  auto statements = std::make_unique<Statements>();
  const auto prepare = [this](const char* sql, Statement& out) {
    out = PrepareStatement(FDb, sql);
    return out != nullptr;
  };
  if (!prepare("SELECT size, mtime_ns, ctime_ns, btime_ns, sha1, edge FROM hashes"
               " WHERE fs=?1 AND ino=?2",
               statements->Select) ||
      !prepare("INSERT OR REPLACE INTO hashes VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)",
               statements->Insert) ||
      !prepare("UPDATE hashes SET seen_day=?3 WHERE fs=?1 AND ino=?2 AND seen_day<?3",
               statements->Touch) ||
      !prepare("DELETE FROM hashes WHERE seen_day<?1", statements->Prune) ||
      !prepare("SELECT id FROM filesystems WHERE identity=?1", statements->FindFileSystem) ||
      !prepare("INSERT OR IGNORE INTO filesystems (identity) VALUES (?1)",
               statements->AddFileSystem)) {
    GiveUp("the database cannot be used");
    return false;
  }
  FStatements = std::move(statements);
  return true;
}

std::optional<int64_t> HashCache::FindFileSystemRow(const std::string& identity, bool& failed) {
  sqlite3_stmt* find = FStatements->FindFileSystem.get();
  sqlite3_reset(find);
  BindText(find, 1, identity);
  const int stepped = sqlite3_step(find);
  failed = stepped != SQLITE_ROW && stepped != SQLITE_DONE;
  std::optional<int64_t> row;
  if (stepped == SQLITE_ROW) row = sqlite3_column_int64(find, 0);
  sqlite3_reset(find);  // a statement left on a row would hold its read snapshot
  return row;
}

uint32_t HashCache::FileSystem(std::string_view identity) {
  const std::string name(identity);
  const auto found = FFileSystemIndex.find(name);
  if (found != FFileSystemIndex.end()) return found->second;
  const auto index = static_cast<uint32_t>(FFileSystems.size());
  bool failed = false;
  FFileSystems.push_back(
      FileSystemRow{name, FDb != nullptr ? FindFileSystemRow(name, failed) : std::nullopt});
  if (failed) GiveUp("the database cannot be read");
  FFileSystemIndex.emplace(name, index);
  return index;
}

HashCache::Facts HashCache::Lookup(const HashCacheKey& key) {
  if (FDb == nullptr || key.FileSystem >= FFileSystems.size()) return {};
  const std::optional<int64_t> fileSystemRow = FFileSystems[key.FileSystem].Row;
  if (!fileSystemRow) return {};  // nothing was ever stored for that file system
  sqlite3_stmt* select = FStatements->Select.get();
  sqlite3_reset(select);
  BindId(select, *fileSystemRow, key.Inode);
  const int stepped = sqlite3_step(select);
  if (stepped == SQLITE_DONE) return {};
  if (stepped != SQLITE_ROW) {
    GiveUp("the database cannot be read");
    return {};
  }
  const bool same = sqlite3_column_int64(select, 0) == key.Size &&
                    sqlite3_column_int64(select, 1) == key.MTimeNs &&
                    sqlite3_column_int64(select, 2) == key.CTimeNs &&
                    sqlite3_column_int64(select, 3) == key.BirthNs;
  Facts facts;
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(select, 4));
  if (same && text != nullptr && IsSha1Text(text)) facts.Sha1 = std::string(text);
  if (same && sqlite3_column_type(select, 5) == SQLITE_INTEGER) {
    facts.EdgeSignature = static_cast<uint64_t>(sqlite3_column_int64(select, 5));
  }
  sqlite3_reset(select);
  if (facts.Sha1 || facts.EdgeSignature) FMet.push_back(Met{*fileSystemRow, key.Inode});
  return facts;
}

void HashCache::BeginLookups() {
  if (FDb != nullptr && !FReading) FReading = Exec("BEGIN");
}

void HashCache::EndLookups() {
  if (!FReading) return;
  FReading = false;
  if (FDb == nullptr) return;
  sqlite3_reset(FStatements->Select.get());
  sqlite3_reset(FStatements->FindFileSystem.get());
  sqlite3_exec(FDb, "COMMIT", nullptr, nullptr, nullptr);
}

void HashCache::Store(const HashCacheKey& key, std::string_view sha1,
                      std::optional<uint64_t> edge) {
  const bool hasHash = IsSha1Text(sha1);
  if (FDb == nullptr || key.FileSystem >= FFileSystems.size() || (!hasHash && !edge)) return;
  FPending.push_back(Pending{key, hasHash ? std::string(sha1) : std::string(), edge});
}

// The row of a file system about to get its first entry (within Flush's transaction).
std::optional<int64_t> HashCache::AddFileSystemRow(uint32_t fileSystem) {
  FileSystemRow& entry = FFileSystems[fileSystem];
  if (entry.Row) return entry.Row;
  sqlite3_stmt* add = FStatements->AddFileSystem.get();
  sqlite3_reset(add);
  BindText(add, 1, entry.Identity);
  bool failed = false;
  if (sqlite3_step(add) == SQLITE_DONE) entry.Row = FindFileSystemRow(entry.Identity, failed);
  return entry.Row;
}

bool HashCache::Write(const Pending& pending, int64_t today) {
  const std::optional<int64_t> fileSystemRow = AddFileSystemRow(pending.Key.FileSystem);
  if (!fileSystemRow) return false;
  sqlite3_stmt* insert = FStatements->Insert.get();
  sqlite3_reset(insert);
  BindId(insert, *fileSystemRow, pending.Key.Inode);
  sqlite3_bind_int64(insert, 3, pending.Key.Size);
  sqlite3_bind_int64(insert, 4, pending.Key.MTimeNs);
  sqlite3_bind_int64(insert, 5, pending.Key.CTimeNs);
  sqlite3_bind_int64(insert, 6, pending.Key.BirthNs);
  if (pending.Sha1.empty()) {
    sqlite3_bind_null(insert, 7);
  } else {
    BindText(insert, 7, pending.Sha1);
  }
  if (pending.Edge) {
    sqlite3_bind_int64(insert, 8, AsColumn(*pending.Edge));
  } else {
    sqlite3_bind_null(insert, 8);
  }
  sqlite3_bind_int64(insert, 9, today);
  return sqlite3_step(insert) == SQLITE_DONE;
}

void HashCache::Flush(int maxAgeDays) {
  EndLookups();
  // A stopped scan ends now; what it computed is not worth a wait for the disk.
  if (StopRequested()) GiveUp({});
  if (FDb == nullptr || !Exec("BEGIN IMMEDIATE")) return;
  const int64_t today = TodayNumber();
  Statements& s = *FStatements;
  bool ok = true;
  for (const Pending& pending : FPending)
    ok = ok && Write(pending, today);
  for (const Met& met : FMet) {
    sqlite3_stmt* touch = s.Touch.get();
    sqlite3_reset(touch);
    BindId(touch, met.FileSystemRow, met.Inode);
    sqlite3_bind_int64(touch, 3, today);
    ok = ok && sqlite3_step(touch) == SQLITE_DONE;
  }
  ok = ok && PruneOncePerDay(today, maxAgeDays);
  if (!ok) {
    sqlite3_exec(FDb, "ROLLBACK", nullptr, nullptr, nullptr);
    GiveUp("the database cannot be written");
    return;
  }
  if (!Exec("COMMIT")) return;
  FPending.clear();
  FMet.clear();
}

// Dropping old entries reads the whole table (millions of rows take a second): it is done by
// the first save of a day only, inside the save's transaction.
bool HashCache::PruneOncePerDay(int64_t today, int maxAgeDays) {
  const Statement last = PrepareStatement(FDb, "SELECT value FROM meta WHERE name='pruned_day'");
  if (last == nullptr) return false;
  const int stepped = sqlite3_step(last.get());
  if (stepped == SQLITE_ROW && sqlite3_column_int64(last.get(), 0) >= today) return true;
  if (stepped != SQLITE_ROW && stepped != SQLITE_DONE) return false;
  sqlite3_stmt* prune = FStatements->Prune.get();
  sqlite3_reset(prune);
  sqlite3_bind_int64(prune, 1, today - maxAgeDays);
  if (sqlite3_step(prune) != SQLITE_DONE) return false;
  const std::string mark =
      "INSERT OR REPLACE INTO meta VALUES ('pruned_day', " + std::to_string(today) + ")";
  return sqlite3_exec(FDb, mark.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool HashCache::HasEntries() {
  if (FDb == nullptr) return false;
  const Statement any = PrepareStatement(FDb, "SELECT 1 FROM hashes LIMIT 1");
  if (any == nullptr) return false;
  const int stepped = sqlite3_step(any.get());
  if (stepped != SQLITE_ROW && stepped != SQLITE_DONE) GiveUp("the database cannot be read");
  return stepped == SQLITE_ROW;
}

int64_t HashCache::EntryCount() {
  if (FDb == nullptr) return -1;
  const Statement count = PrepareStatement(FDb, "SELECT count(*) FROM hashes");
  if (count == nullptr || sqlite3_step(count.get()) != SQLITE_ROW) {
    return -1;
  }
  return sqlite3_column_int64(count.get(), 0);
}

}  // namespace parvolane
