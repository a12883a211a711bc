#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "engine/file_info.h"
#include "engine/fs_identity.h"
#include "engine/hash_cache.h"
#include "engine/scan_reporter.h"

namespace parvolane {

/// The hash cache's part in one hashing stage: before the stage reads anything, the targets
/// whose present state the cache knows take their hash (and edge signature) from it; after,
/// what was computed is stored. A target counts as hashed either way. Files on a file system
/// without a lasting identity are neither looked up nor stored, only counted.
/// Threading: Apply and Save on one thread; Apply checks the stop flag itself, so it may run
/// inside ScanReporter::RunBlocking.
class CachedHashes final {
 public:
  /// Opens the cache at `path` (HashCache::DefaultPath() when empty). `stopRequested` (may be
  /// empty) ends any wait for another program's lock; `identities` names file systems.
  explicit CachedHashes(const std::string& path = {}, std::function<bool()> stopRequested = {},
                        FileSystemIdentities::Resolver identities = FileSystemIdentityOf);
  CachedHashes(const CachedHashes&) = delete;
  CachedHashes& operator=(const CachedHashes&) = delete;

  /// Why the cache is not used (empty while it works).
  const std::string& Problem() const { return FCache->Problem(); }

  void Apply(const std::vector<TFileInfo*>& targets, const ScanReporter& reporter);
  /// Stores what the stage computed for the targets of the last Apply and writes it.
  void Save(const std::vector<TFileInfo*>& targets);

  size_t Hits() const { return FHits; }
  /// Targets of the last Apply that the cache left alone for their file system.
  size_t LeftOut() const { return FLeftOut; }

 private:
  struct Known {
    HashCacheKey Key;
    bool Storable = false;  // changed long enough ago that its key pins its content
    bool HadHash = false;
    bool HadEdge = false;
  };
  void Take(HashCache::Facts facts, TFileInfo& record, Known& known);

  std::unique_ptr<HashCache> FCache;
  FileSystemIdentities FIdentities;
  std::vector<std::optional<Known>> FKnown;  // by target index
  size_t FHits = 0;
  size_t FLeftOut = 0;
};

/// Names the way edge signatures are computed, for the cache (see HashCache).
uint64_t EdgeSignatureFingerprint();

}  // namespace parvolane
