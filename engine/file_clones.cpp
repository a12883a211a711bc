#include "engine/file_clones.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/clone_rows.h"
#include "engine/text_case.h"
#include "results/result_list.h"

namespace parvolane {

namespace {

constexpr uint32_t kNoBucket = std::numeric_limits<uint32_t>::max();
constexpr int kListingRhythm = 50;
// Steps of bucketing and sorting between two looks at the stop flag: a few milliseconds.
constexpr uint32_t kStopPollSteps = 16384;

// Unwinds bucketing and sorting when a stop comes; it never leaves this file.
struct GroupingStopped {};

// Looks at the stop flag once every kStopPollSteps steps of a long loop or sort.
class StopPoll final {
 public:
  explicit StopPoll(const ScanReporter& reporter) : FReporter(reporter) {}
  void Step() {
    if (++FSteps % kStopPollSteps == 0 && FReporter.IsStopRequested()) throw GroupingStopped();
  }

 private:
  const ScanReporter& FReporter;
  uint32_t FSteps = 0;
};

// Which bucket every record went to, and how many records each bucket holds. Buckets are
// numbered in the order their first record was met, so a bucket's records are found again by
// a walk over FFiles without keeping a list per key.
struct Buckets {
  std::vector<uint32_t> Of;  // per record of FFiles; kNoBucket when it takes no part
  std::vector<uint32_t> Count;
};

struct TGroupRec {
  std::span<TFileInfo* const> Files;  // a slice of the members of all kept buckets
  int64_t TotalSize = 0;
};

struct Grouping {
  std::vector<TFileInfo*> Members;  // the kept buckets one after another, each in FFiles order
  std::vector<TGroupRec> Groups;
};

template <typename Key, typename KeyOf>
Buckets FillBuckets(const TFileList& files, KeyOf keyOf, StopPoll& poll) {
  if (files.size() >= kNoBucket) throw std::length_error("too many files to group");
  Buckets buckets;
  buckets.Of.assign(files.size(), kNoBucket);
  std::unordered_map<Key, uint32_t> index;
  index.reserve(files.size());
  for (size_t i = 0; i < files.size(); ++i) {
    poll.Step();
    std::optional<Key> key = keyOf(*files[i]);
    if (!key) continue;
    const auto next = static_cast<uint32_t>(buckets.Count.size());
    const auto [it, added] = index.try_emplace(std::move(*key), next);
    if (added) buckets.Count.push_back(0);
    ++buckets.Count[it->second];
    buckets.Of[i] = it->second;
  }
  return buckets;
}

std::string NameAndSizeKey(const TFileInfo& file) {
  std::string key = LowerCaseUnicode(file.Name());
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, file.Size).ptr;
  key += '|';
  key.append(digits, end);
  return key;
}

Buckets BucketsFor(CompareMode mode, const TFileList& files, StopPoll& poll) {
  switch (mode) {
    case CompareMode::cmName:
      return FillBuckets<std::string>(
          files, [](const TFileInfo& f) { return std::optional(LowerCaseUnicode(f.Name())); },
          poll);
    case CompareMode::cmSize:
      return FillBuckets<int64_t>(
          files, [](const TFileInfo& f) { return std::optional(f.Size); }, poll);
    case CompareMode::cmNameAndSize:
      return FillBuckets<std::string>(
          files, [](const TFileInfo& f) { return std::optional(NameAndSizeKey(f)); }, poll);
    case CompareMode::cmContent:
      break;
  }
  // The records outlive the buckets, so their hash texts serve as keys without a copy.
  return FillBuckets<std::string_view>(
      files,
      [](const TFileInfo& f) {
        return f.ContentHash.empty() ? std::nullopt
                                     : std::optional<std::string_view>(f.ContentHash);
      },
      poll);
}

// Lays the records of every bucket of at least minGroupSize out side by side, one group each.
Grouping KeepGroups(const TFileList& files, const Buckets& buckets, int32_t minGroupSize,
                    StopPoll& poll) {
  std::vector<size_t> start(buckets.Count.size(), SIZE_MAX);
  std::vector<size_t> groupOf(buckets.Count.size());
  Grouping g;
  size_t total = 0;
  for (size_t b = 0; b < buckets.Count.size(); ++b) {
    if (buckets.Count[b] < static_cast<uint32_t>(minGroupSize)) continue;
    start[b] = total;
    groupOf[b] = g.Groups.size();
    g.Groups.emplace_back();
    total += buckets.Count[b];
  }
  g.Members.resize(total);
  std::vector<size_t> fill = start;
  for (size_t i = 0; i < files.size(); ++i) {
    poll.Step();
    const uint32_t b = buckets.Of[i];
    if (b == kNoBucket || start[b] == SIZE_MAX) continue;
    g.Members[fill[b]++] = files[i].get();
    g.Groups[groupOf[b]].TotalSize += files[i]->Size;
  }
  for (size_t b = 0; b < buckets.Count.size(); ++b) {
    if (start[b] != SIZE_MAX) {
      g.Groups[groupOf[b]].Files = std::span(g.Members).subspan(start[b], buckets.Count[b]);
    }
  }
  return g;
}

// Largest total first. Equal totals are ordered by the first member's path (then by the order
// in which the buckets were met), so that the same files always give the same numbering.
void SortGroups(std::vector<TGroupRec>& groups, StopPoll& poll) {
  std::sort(groups.begin(), groups.end(), [&poll](const TGroupRec& l, const TGroupRec& r) {
    poll.Step();
    if (l.TotalSize != r.TotalSize) return l.TotalSize > r.TotalSize;
    const int byPath = l.Files.front()->FullPath.compare(r.Files.front()->FullPath);
    if (byPath != 0) return byPath < 0;
    return l.Files.data() < r.Files.data();
  });
}

size_t RowsOf(const std::vector<TGroupRec>& groups, int32_t n) {
  size_t rows = 0;
  for (int32_t i = 0; i < n; ++i)
    rows += groups[static_cast<size_t>(i)].Files.size();
  return rows;
}

// The records once grouped: nothing needs them after the listing but the rows made from them.
// Records that are not listed go at once, and each listed record goes as its row is made, so
// that the rows of a million files take the memory their records held (see SlotPool). What is
// left when the listing ends, or is stopped, goes with this owner.
class ListedRecords final {
 public:
  ListedRecords(TFileList records, const std::vector<TGroupRec>& groups, int32_t n) {
    for (int32_t i = 0; i < n; ++i) {
      for (TFileInfo* file : groups[static_cast<size_t>(i)].Files)
        FListed.push_back(file);
    }
    std::sort(FListed.begin(), FListed.end());
    FGone.assign(FListed.size(), false);
    // From here on the listed records are owned through FListed; the others go now.
    for (std::unique_ptr<TFileInfo>& record : records) {
      if (!std::binary_search(FListed.begin(), FListed.end(), record.get())) continue;
      static_cast<void>(record.release());
    }
  }
  ListedRecords(const ListedRecords&) = delete;
  ListedRecords& operator=(const ListedRecords&) = delete;
  ~ListedRecords() {
    for (size_t i = 0; i < FListed.size(); ++i) {
      if (!FGone[i]) delete FListed[i];
    }
  }

  void Release(TFileInfo* file) {
    const auto at = std::lower_bound(FListed.begin(), FListed.end(), file);
    if (at == FListed.end() || *at != file) return;
    const auto index = static_cast<size_t>(at - FListed.begin());
    if (FGone[index]) return;
    FGone[index] = true;
    delete file;
  }

 private:
  std::vector<TFileInfo*> FListed;  // by address
  std::vector<bool> FGone;
};

// With `released`, each listed record gives its path to its row and goes.
int32_t ListGroups(ResultList& lvFiles, const std::vector<TGroupRec>& groups, int32_t n,
                   ListedRecords* released, ScanReporter& reporter) {
  const std::function<void(TFileInfo*)> release = [released](TFileInfo* file) {
    released->Release(file);
  };
  std::vector<TFileInfo*> files;
  int groupNo = 1;
  int32_t listed = 0;
  for (int32_t i = 0; i < n; ++i) {
    if (reporter.IsStopRequested()) break;
    const TGroupRec& group = groups[static_cast<size_t>(i)];
    if (released != nullptr) {
      MoveFileGroupToList(lvFiles, group.Files, group.TotalSize, groupNo, release);
    } else {
      files.assign(group.Files.begin(), group.Files.end());
      AddFileGroupToList(lvFiles, files, group.TotalSize, groupNo);
    }
    ++listed;
    if (listed % kListingRhythm == 0) {
      reporter.SetProgressPosition(listed);
      reporter.ReportStatus("Listing file groups (" + std::to_string(listed) + "/" +
                            std::to_string(n) + ")...");
      reporter.PumpEvents();
    }
  }
  return listed;
}

// Bucketing and sorting a million records takes long enough to be felt: the window may do it
// on a helper thread while it keeps handling events, and a stop cuts it short (no group is
// listed then). The records do not change meanwhile (nothing else runs on them during a scan).
Grouping FormGroups(const TFileList& files, CompareMode mode, int32_t minGroupSize,
                    ScanReporter& reporter) {
  Grouping grouping;
  reporter.RunBlocking([&] {
    StopPoll poll(reporter);
    try {
      const Buckets buckets = BucketsFor(mode, files, poll);
      grouping = KeepGroups(files, buckets, minGroupSize, poll);
      SortGroups(grouping.Groups, poll);
    } catch (const GroupingStopped&) {
      grouping = Grouping();
    }
  });
  return grouping;
}

}  // namespace

void FindFileDuplicates(ScanState& state, ScanReporter& reporter) {
  const ScanSettings settings = reporter.CurrentSettings();
  const int32_t maxGroups = settings.MaxGroups;
  const int32_t minGroupSize = std::max<int32_t>(settings.MinGroupSize, 2);

  const Grouping grouping = FormGroups(state.FFiles, settings.Mode, minGroupSize, reporter);
  const auto found = static_cast<int32_t>(
      std::min<size_t>(grouping.Groups.size(), std::numeric_limits<int32_t>::max()));
  const int32_t n = (maxGroups > 0 && maxGroups < found) ? maxGroups : found;
  state.Summary.FileGroupsCut = grouping.Groups.size() - static_cast<size_t>(n);

  {
    RowUpdateGuard rows(state.lvFiles);
    state.lvFiles.ClearRows();
    ClearListGroups(state.lvFiles);
    reporter.SetProgressPosition(0);
    reporter.SetProgressRange(0, n == 0 ? 1 : n);
    state.lvFiles.Reserve(static_cast<size_t>(n), RowsOf(grouping.Groups, n));
    std::optional<ListedRecords> released;
    if (state.ReleaseRecordsOnceListed) {
      state.FFileMap.clear();  // it points into the records, which go now
      released.emplace(std::move(state.FFiles), grouping.Groups, n);
      state.FFiles.clear();
    }
    ListUpdateGuard bulk(state.lvFiles);
    const int32_t listed =
        ListGroups(state.lvFiles, grouping.Groups, n, released ? &*released : nullptr, reporter);
    reporter.SetProgressPosition(listed);
  }

  if (!reporter.IsStopRequested()) reporter.ReportStatus("Duplicate file groups populated.");
}

}  // namespace parvolane
