// Listing many file groups into a result list, and the check buttons on it. Memory is taken
// from the allocator's own count (mallinfo2) before and after, so it is the heap that the list
// holds, not what the process happened to reserve.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "engine/clone_rows.h"
#include "engine/file_clones.h"
#include "engine/scan_state.h"
#include "results/result_list.h"

namespace {

using namespace parvolane;

constexpr int kGroups = 100000;
constexpr int kPerGroup = 3;
constexpr int64_t kRows = int64_t{kGroups} * kPerGroup;

size_t HeapInUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;  // small blocks and those mapped on their own
}

// Paths shaped like a photo collection: a few hundred folders, names of typical length.
TFileList MakeRecords() {
  TFileList files;
  files.reserve(static_cast<size_t>(kRows));
  char path[128];
  for (int g = 0; g < kGroups; ++g) {
    for (int m = 0; m < kPerGroup; ++m) {
      std::snprintf(path, sizeof path, "/home/user/Pictures/Album %03d/IMG_%06d.jpg",
                    (g * kPerGroup + m) % 400, g);
      files.push_back(std::make_unique<TFileInfo>(path, int64_t{2500000} + g));
      std::snprintf(path, sizeof path, "%040x", g);
      files.back()->ContentHash = path;
    }
  }
  return files;
}

std::vector<std::vector<TFileInfo*>> MakeGroups(const TFileList& files) {
  std::vector<std::vector<TFileInfo*>> groups(kGroups);
  for (size_t i = 0; i < files.size(); ++i)
    groups[i / kPerGroup].push_back(files[i].get());
  return groups;
}

void ListAll(ResultList& list, const std::vector<std::vector<TFileInfo*>>& groups) {
  list.Reserve(groups.size(), static_cast<size_t>(kRows));  // as the file grouping does
  bool saved = true;
  BeginListUpdate(list, saved);
  int groupNo = 1;
  for (const auto& group : groups)
    AddFileGroupToList(list, group, group[0]->Size * kPerGroup, groupNo);
  EndListUpdate(list, saved);
}

void SetBytesPerRow(benchmark::State& state, size_t before, size_t after) {
  state.counters["bytes_per_row"] =
      static_cast<double>(after - before) / static_cast<double>(kRows);
  state.counters["rows_per_s"] =
      benchmark::Counter(static_cast<double>(kRows), benchmark::Counter::kIsIterationInvariantRate);
}

// The baseline: the records that the rows refer to, as a scan collects them.
void BM_BuildRecords(benchmark::State& state) {
  size_t before = 0, after = 0;
  for (auto _ : state) {
    before = HeapInUse();
    TFileList files = MakeRecords();
    after = HeapInUse();
    benchmark::DoNotOptimize(files.data());
    state.PauseTiming();
    files = TFileList();
    state.ResumeTiming();
  }
  SetBytesPerRow(state, before, after);
}

void BM_ListGroups(benchmark::State& state) {
  const TFileList files = MakeRecords();
  const auto groups = MakeGroups(files);
  size_t before = 0, after = 0;
  for (auto _ : state) {
    before = HeapInUse();
    auto list = std::make_unique<ResultList>(FileListColumns());
    ListAll(*list, groups);
    after = HeapInUse();
    benchmark::DoNotOptimize(&list->Row(0));
    state.PauseTiming();
    list.reset();
    state.ResumeTiming();
  }
  SetBytesPerRow(state, before, after);
}

void BM_CheckAll(benchmark::State& state) {
  const TFileList files = MakeRecords();
  ResultList list(FileListColumns());
  ListAll(list, MakeGroups(files));
  bool on = false;
  for (auto _ : state) {
    on = !on;  // every call changes every row
    if (on) {
      CheckAll(list);
    } else {
      UncheckAll(list);
    }
    benchmark::ClobberMemory();
  }
  state.counters["rows_per_s"] =
      benchmark::Counter(static_cast<double>(kRows), benchmark::Counter::kIsIterationInvariantRate);
}

void BM_CheckAllButOneInGroup(benchmark::State& state) {
  const TFileList files = MakeRecords();
  ResultList list(FileListColumns());
  ListAll(list, MakeGroups(files));
  for (auto _ : state) {
    CheckAll(list);
    CheckAllButOneInGroup(list);
    benchmark::ClobberMemory();
  }
  state.counters["rows_per_s"] =
      benchmark::Counter(static_cast<double>(kRows), benchmark::Counter::kIsIterationInvariantRate);
}

// A reporter that only answers the settings.
class QuietReporter final : public ScanReporter {
 public:
  explicit QuietReporter(CompareMode mode) {
    FSettings.Mode = mode;
    FSettings.MaxGroups = 0;
  }
  void ReportStatus(const std::string&) override {}
  void PumpEvents() override {}
  bool IsStopRequested() const override { return false; }
  ScanSettings CurrentSettings() override { return FSettings; }

 private:
  ScanSettings FSettings;
};

// Grouping and listing together, every group listed (arg: the compare mode's place in the table).
void BM_FindFileDuplicates(benchmark::State& state) {
  ScanState scan;
  scan.FFiles = MakeRecords();
  QuietReporter reporter(kCompareModes.at(static_cast<size_t>(state.range(0))).Mode);
  for (auto _ : state) {
    FindFileDuplicates(scan, reporter);
    benchmark::DoNotOptimize(scan.lvFiles.RowCount());
  }
  state.SetLabel(std::to_string(scan.lvFiles.Groups().size()) + " groups");
  state.counters["files_per_s"] =
      benchmark::Counter(static_cast<double>(kRows), benchmark::Counter::kIsIterationInvariantRate);
}

}  // namespace

BENCHMARK(BM_BuildRecords)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListGroups)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CheckAll)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CheckAllButOneInGroup)->Unit(benchmark::kMillisecond);
// 0 name, 1 size, 2 name and size, 3 content
BENCHMARK(BM_FindFileDuplicates)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
