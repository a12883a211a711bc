#include "engine/hash_cache.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>

#include "platform/posix/unique_fd.h"
#include "platform/posix/user_dirs.h"

namespace parvolane {

namespace {

// The layout this program writes. A database stamped with a higher number was written by a
// newer version, whose meaning of a row this one cannot know: it is left alone.
constexpr int kSchemaVersion = 1;

constexpr const char* kCreateTable =
    "CREATE TABLE IF NOT EXISTS hashes ("
    " dev INTEGER NOT NULL, ino INTEGER NOT NULL, size INTEGER NOT NULL,"
    " mtime_ns INTEGER NOT NULL, ctime_ns INTEGER NOT NULL, sha1 TEXT, edge INTEGER,"
    " seen_day INTEGER NOT NULL, PRIMARY KEY (dev, ino)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS meta (name TEXT PRIMARY KEY, value INTEGER NOT NULL)";

int64_t AsColumn(uint64_t value) {
  return static_cast<int64_t>(value);  // same bits: device and inode numbers use all 64
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

void BindKeyId(sqlite3_stmt* statement, const FileId& id) {
  sqlite3_bind_int64(statement, 1, AsColumn(id.Device));
  sqlite3_bind_int64(statement, 2, AsColumn(id.Inode));
}

// Creates the database file private to the user before SQLite opens it; SQLite gives its
// journal files the same mode.
bool CreatePrivateFile(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  return fd.IsOpen();
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

}  // namespace

struct HashCache::Statements {
  Statement Select;
  Statement Insert;
  Statement Touch;
  Statement Prune;
};

HashCacheKey HashCacheKeyOf(const struct stat& st) {
  return HashCacheKey{FileId{st.st_dev, st.st_ino}, static_cast<int64_t>(st.st_size), MTimeNsOf(st),
                      static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec};
}

std::string HashCache::DefaultPath() {
  const std::string folder = XdgFolder("XDG_CACHE_HOME", ".cache");
  return folder.empty() ? std::string() : folder + "/parvolane/hashes.sqlite";
}

HashCache::HashCache(const std::string& path, uint64_t edgeFingerprint, int busyTimeoutMs) {
  if (path.empty()) {
    FProblem = "no cache folder is known (HOME is not set)";
    return;
  }
  if (!MakeFolders(FolderOf(path), 0700) || !CreatePrivateFile(path)) {
    FProblem = "cannot create '" + path + "'";
    return;
  }
  const int opened =
      sqlite3_open_v2(path.c_str(), &FDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (opened != SQLITE_OK) {
    GiveUp("cannot open '" + path + "'");
    return;
  }
  sqlite3_busy_timeout(FDb, busyTimeoutMs);
  sqlite3_extended_result_codes(FDb, 1);
  // A cache may lose its last write to a power cut (WAL mode never corrupts it that way); it
  // must not make every scan wait for the disk.
  if (!Exec("PRAGMA journal_mode=WAL") || !Exec("PRAGMA synchronous=NORMAL") || !Prepare()) return;
  CheckEdgeFingerprint(edgeFingerprint);
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

void HashCache::GiveUp(std::string_view what) {
  if (FProblem.empty()) {
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

// Checks the layout (creating it in a new database) and prepares every statement once.
bool HashCache::Prepare() {
  Statement version = PrepareStatement(FDb, "PRAGMA user_version");
  if (version == nullptr || sqlite3_step(version.get()) != SQLITE_ROW) {
    GiveUp("the database cannot be read");
    return false;
  }
  const int found = sqlite3_column_int(version.get(), 0);
  version.reset();
  if (found > kSchemaVersion) {
    FProblem = "the database was written by a newer version";
    GiveUp(FProblem);
    return false;
  }
  if (found < kSchemaVersion && (!Exec(kCreateTable) || !Exec("PRAGMA user_version=1"))) {
    return false;
  }
  auto statements = std::make_unique<Statements>();
  const auto prepare = [this](const char* sql, Statement& out) {
    out = PrepareStatement(FDb, sql);
    return out != nullptr;
  };
  if (!prepare("SELECT size, mtime_ns, ctime_ns, sha1, edge FROM hashes WHERE dev=?1 AND ino=?2",
               statements->Select) ||
      !prepare("INSERT OR REPLACE INTO hashes VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)",
               statements->Insert) ||
      !prepare("UPDATE hashes SET seen_day=?3 WHERE dev=?1 AND ino=?2 AND seen_day<?3",
               statements->Touch) ||
      !prepare("DELETE FROM hashes WHERE seen_day<?1", statements->Prune)) {
    GiveUp("the database cannot be used");
    return false;
  }
  FStatements = std::move(statements);
  return true;
}

HashCache::Facts HashCache::Lookup(const HashCacheKey& key) {
  if (FDb == nullptr) return {};
  sqlite3_stmt* select = FStatements->Select.get();
  sqlite3_reset(select);
  BindKeyId(select, key.Id);
  const int stepped = sqlite3_step(select);
  if (stepped == SQLITE_DONE) return {};
  if (stepped != SQLITE_ROW) {
    GiveUp("the database cannot be read");
    return {};
  }
  if (sqlite3_column_int64(select, 0) != key.Size ||
      sqlite3_column_int64(select, 1) != key.MTimeNs ||
      sqlite3_column_int64(select, 2) != key.CTimeNs) {
    return {};
  }
  Facts facts;
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(select, 3));
  if (text != nullptr && IsSha1Text(text)) facts.Sha1 = std::string(text);
  if (sqlite3_column_type(select, 4) == SQLITE_INTEGER) {
    facts.EdgeSignature = static_cast<uint64_t>(sqlite3_column_int64(select, 4));
  }
  if (facts.Sha1 || facts.EdgeSignature) FMet.push_back(key.Id);
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
  sqlite3_exec(FDb, "COMMIT", nullptr, nullptr, nullptr);
}

void HashCache::Store(const HashCacheKey& key, std::string_view sha1,
                      std::optional<uint64_t> edge) {
  const bool hasHash = IsSha1Text(sha1);
  if (FDb == nullptr || (!hasHash && !edge)) return;
  FPending.push_back(Pending{key, hasHash ? std::string(sha1) : std::string(), edge});
}

void HashCache::Flush(int maxAgeDays) {
  EndLookups();
  if (FDb == nullptr || !Exec("BEGIN IMMEDIATE")) return;
  const int64_t today = TodayNumber();
  Statements& s = *FStatements;
  bool ok = true;
  for (const Pending& pending : FPending) {
    sqlite3_stmt* insert = s.Insert.get();
    sqlite3_reset(insert);
    BindKeyId(insert, pending.Key.Id);
    sqlite3_bind_int64(insert, 3, pending.Key.Size);
    sqlite3_bind_int64(insert, 4, pending.Key.MTimeNs);
    sqlite3_bind_int64(insert, 5, pending.Key.CTimeNs);
    if (pending.Sha1.empty()) {
      sqlite3_bind_null(insert, 6);
    } else {
      sqlite3_bind_text(insert, 6, pending.Sha1.data(), static_cast<int>(pending.Sha1.size()),
                        SQLITE_STATIC);
    }
    if (pending.Edge) {
      sqlite3_bind_int64(insert, 7, AsColumn(*pending.Edge));
    } else {
      sqlite3_bind_null(insert, 7);
    }
    sqlite3_bind_int64(insert, 8, today);
    ok = ok && sqlite3_step(insert) == SQLITE_DONE;
  }
  for (const FileId& id : FMet) {
    sqlite3_stmt* touch = s.Touch.get();
    sqlite3_reset(touch);
    BindKeyId(touch, id);
    sqlite3_bind_int64(touch, 3, today);
    ok = ok && sqlite3_step(touch) == SQLITE_DONE;
  }
  sqlite3_reset(s.Prune.get());
  sqlite3_bind_int64(s.Prune.get(), 1, today - maxAgeDays);
  ok = ok && sqlite3_step(s.Prune.get()) == SQLITE_DONE;
  if (!ok) {
    sqlite3_exec(FDb, "ROLLBACK", nullptr, nullptr, nullptr);
    GiveUp("the database cannot be written");
    return;
  }
  if (!Exec("COMMIT")) return;
  FPending.clear();
  FMet.clear();
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
