#include "engine/cached_hashes.h"

#include <chrono>

#include "engine/file_digest.h"

namespace parvolane {

namespace {

// A file changed this recently may change again within the same tick of the file system's
// clock without its times moving; its key would then name two contents. Such files are read
// as usual but not stored, as a version-control system treats its "racy" entries.
constexpr int64_t kSettledAfterNs = 2'000'000'000;
// How long a scan waits for another program that holds the database.
constexpr int kBusyTimeoutMs = 3000;

int64_t NowNs() {
  using namespace std::chrono;
  return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

CachedHashes::CachedHashes(const std::string& path, std::function<bool()> stopRequested,
                           FileSystemIdentities::Resolver identities)
    : FCache(std::make_unique<HashCache>(path.empty() ? HashCache::DefaultPath() : path,
                                         EdgeSignatureFingerprint(), kBusyTimeoutMs,
                                         std::move(stopRequested))),
      FIdentities(std::move(identities)) {}

void CachedHashes::Apply(const std::vector<TFileInfo*>& targets, const ScanReporter& reporter) {
  FKnown.assign(targets.size(), std::nullopt);
  FLeftOut = 0;
  if (!FCache->Usable()) return;
  const int64_t now = NowNs();
  // The key is what the walk saw: a file that changed since then has other times now, so what
  // is stored under that key can never be taken for its new content.
  const bool empty = !FCache->HasEntries();
  FCache->BeginLookups();
  for (size_t i = 0; i < targets.size(); ++i) {
    if (reporter.IsStopRequested() || !FCache->Usable()) break;
    TFileInfo& record = *targets[i];
    if (record.Size < 1 || record.Id.Inode == 0) continue;
    const std::optional<std::string>& identity = FIdentities.Of(record.FullPath, record.Id.Device);
    if (!identity) {
      ++FLeftOut;
      continue;
    }
    const HashCacheKey key{FCache->FileSystem(*identity),
                           record.Id.Inode,
                           record.Size,
                           record.MTimeNs,
                           record.CTimeNs,
                           record.BirthNs};
    Known known{key, now - std::max(key.MTimeNs, key.CTimeNs) >= kSettledAfterNs, false, false};
    if (!empty) Take(FCache->Lookup(known.Key), record, known);
    FKnown[i] = known;
  }
  FCache->EndLookups();
}

void CachedHashes::Take(HashCache::Facts facts, TFileInfo& record, Known& known) {
  if (facts.Sha1 && record.ContentHash.empty()) {
    record.ContentHash = std::move(*facts.Sha1);
    known.HadHash = true;
    ++FHits;
  }
  if (facts.EdgeSignature && !record.EdgeSignature) {
    record.EdgeSignature = facts.EdgeSignature;
    known.HadEdge = true;
  }
}

void CachedHashes::Save(const std::vector<TFileInfo*>& targets) {
  for (size_t i = 0; i < targets.size() && i < FKnown.size(); ++i) {
    if (!FKnown[i] || !FKnown[i]->Storable) continue;
    const Known& known = *FKnown[i];
    const TFileInfo& record = *targets[i];
    const bool newHash = !record.ContentHash.empty() && !known.HadHash;
    const bool newEdge = record.EdgeSignature && !known.HadEdge;
    if (newHash || newEdge) FCache->Store(known.Key, record.ContentHash, record.EdgeSignature);
  }
  FCache->Flush();
}

}  // namespace parvolane
