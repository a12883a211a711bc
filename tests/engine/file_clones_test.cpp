#include "engine/file_clones.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "support/recording_reporter.h"

namespace parvolane {
namespace {

using testing::RecordingReporter;
using Paths = std::vector<std::string>;
using Listing = std::vector<Paths>;

constexpr int64_t MiB = 1048576;

struct Rec {
  std::string path;
  int64_t size;
  std::string hash;
};

class FileClones : public ::testing::Test {
 protected:
  void Add(const std::string& path, int64_t size, const std::string& hash = "") {
    state.FFiles.push_back(std::make_unique<TFileInfo>(path, size));
    state.FFiles.back()->ContentHash = hash;
  }
  void Add(const std::vector<Rec>& records) {
    for (const Rec& r : records)
      Add(r.path, r.size, r.hash);
  }
  // `count` groups of two equal-sized files, group k holding files of (count - k) KiB, so
  // group k + 1 of the listing is the k-th added.
  void AddSizeGroups(int count) {
    for (int k = 0; k < count; ++k) {
      for (int copy = 0; copy < 2; ++copy)
        Add("/d" + std::to_string(copy) + "/f" + std::to_string(k), (count - k) * 1024);
    }
  }
  void Run(CompareMode mode, int32_t maxGroups = 0, int32_t minGroupSize = 2) {
    reporter.Settings.Mode = mode;
    reporter.Settings.MaxGroups = maxGroups;
    reporter.Settings.MinGroupSize = minGroupSize;
    FindFileDuplicates(state, reporter);
  }
  // The listed groups as the full paths of their rows, checking on the way what every listing
  // must hold: ids 1, 2, ... in order, and the rows of each group right after its header.
  Listing Listed() const {
    Listing out;
    for (const ResultRow& row : state.lvFiles.Rows()) {
      if (static_cast<size_t>(row.GroupId) != out.size()) {
        EXPECT_EQ(static_cast<size_t>(row.GroupId), out.size() + 1);
        out.emplace_back();
      }
      out.back().push_back(row.Path);
    }
    EXPECT_EQ(state.lvFiles.Groups().size(), out.size());
    for (size_t g = 0; g < state.lvFiles.Groups().size(); ++g)
      EXPECT_EQ(state.lvFiles.Groups()[g].Id, static_cast<int>(g + 1));
    return out;
  }
  void ExpectListClosed() const {
    EXPECT_EQ(state.lvFiles.UpdateDepth(), 0);
    EXPECT_TRUE(state.lvFiles.GroupView());
  }

  ScanState state;
  RecordingReporter reporter{state};
};

const std::vector<Rec> kMixed = {
    {"/a/Report.PDF", 100, "h1"},
    {"/b/report.pdf", 200, "h2"},
    {"/a/ÄBC.txt", 7, "h3"},
    {"/b/äbc.txt", 7, "h3"},
    {"/a/Photo.JPG", 512, ""},
    {"/c/photo.jpg", 512, ""},
    {"/c/x", -1, ""},
    {"/c/y", -1, ""},
    {"/c/big", 300, "HH"},
    {"/d/large", 300, "hh"},
    {"/e/1.txt", 9, "h1"},
};

TEST_F(FileClones, KeysOfEveryMode) {
  const struct {
    CompareMode mode;
    Listing expected;
  } cases[] = {
      {CompareMode::cmName,
       {{"/a/Photo.JPG", "/c/photo.jpg"},
        {"/a/Report.PDF", "/b/report.pdf"},
        {"/a/ÄBC.txt", "/b/äbc.txt"}}},
      {CompareMode::cmSize,
       {{"/a/Photo.JPG", "/c/photo.jpg"},
        {"/c/big", "/d/large"},
        {"/a/ÄBC.txt", "/b/äbc.txt"},
        {"/c/x", "/c/y"}}},
      {CompareMode::cmNameAndSize,
       {{"/a/Photo.JPG", "/c/photo.jpg"}, {"/a/ÄBC.txt", "/b/äbc.txt"}}},
      // Hashes are keys as stored: no lower-casing, no size.
      {CompareMode::cmContent, {{"/a/Report.PDF", "/e/1.txt"}, {"/a/ÄBC.txt", "/b/äbc.txt"}}},
  };
  for (const auto& c : cases) {
    state.lvFiles.ClearRows();
    state.FFiles.clear();
    Add(kMixed);
    Run(c.mode);
    EXPECT_EQ(Listed(), c.expected) << static_cast<int>(c.mode);
  }
}

TEST_F(FileClones, RowsShowTheGroupAndCheckAllButTheFirst) {
  Add({{"/a/Report.PDF", 100, ""}, {"/b/report.pdf", 200, ""}, {"/c/REPORT.pdf", 1, ""}});
  Run(CompareMode::cmName);
  ASSERT_EQ(state.lvFiles.RowCount(), 3u);
  EXPECT_EQ(state.lvFiles.Groups()[0].Header, "Group 1 (0.00 MB)");
  EXPECT_EQ(RowTexts(state.lvFiles.Row(0)), (Paths{"1", "Report.PDF", "/a", "0.00 MB"}));
  EXPECT_FALSE(state.lvFiles.Row(0).Checked);
  EXPECT_TRUE(state.lvFiles.Row(1).Checked);
  EXPECT_TRUE(state.lvFiles.Row(2).Checked);
}

TEST_F(FileClones, NamesDifferingOnlyInCaseGroupWithTheSumOfTheirSizes) {
  Add({{"/a/Report.PDF", 100 * MiB, ""}, {"/b/report.pdf", 200 * MiB, ""}});
  Run(CompareMode::cmName);
  ASSERT_EQ(state.lvFiles.Groups().size(), 1u);
  EXPECT_EQ(state.lvFiles.Groups()[0].Header, "Group 1 (300.00 MB)");
}

TEST_F(FileClones, MinGroupSizeActsBeforeMaxGroupsAndBelowTwoMeansTwo) {
  // Buckets of 1, 2, 3 and 4 files; a larger bucket holds larger files.
  for (int n = 1; n <= 4; ++n) {
    for (int i = 0; i < n; ++i)
      Add("/s" + std::to_string(n) + "/" + std::to_string(i), n * 1000);
  }
  const struct {
    int32_t minGroupSize;
    int32_t maxGroups;
    std::vector<size_t> groupSizes;
    int32_t range;
  } cases[] = {
      {-1, 0, {4, 3, 2}, 3}, {0, 0, {4, 3, 2}, 3}, {1, 0, {4, 3, 2}, 3}, {2, 0, {4, 3, 2}, 3},
      {3, 0, {4, 3}, 2},     {4, 0, {4}, 1},       {5, 0, {}, 1},        {2, -1, {4, 3, 2}, 3},
      {2, 1, {4}, 1},        {2, 2, {4, 3}, 2},    {2, 3, {4, 3, 2}, 3}, {2, 4, {4, 3, 2}, 3},
      {3, 1, {4}, 1},
  };
  for (const auto& c : cases) {
    Run(CompareMode::cmSize, c.maxGroups, c.minGroupSize);
    std::vector<size_t> sizes;
    for (const Paths& group : Listed())
      sizes.push_back(group.size());
    EXPECT_EQ(sizes, c.groupSizes) << c.minGroupSize << " " << c.maxGroups;
    EXPECT_EQ(reporter.RangeMin, 0);
    EXPECT_EQ(reporter.RangeMax, c.range) << c.minGroupSize << " " << c.maxGroups;
    EXPECT_EQ(reporter.Position, static_cast<int32_t>(c.groupSizes.size()));
  }
}

TEST_F(FileClones, MaxGroupsKeepsTheLargestTotals) {
  AddSizeGroups(12);
  Run(CompareMode::cmSize, 5);
  const Listing listed = Listed();
  ASSERT_EQ(listed.size(), 5u);
  for (size_t g = 0; g < 5; ++g)
    EXPECT_EQ(listed[g][0], "/d0/f" + std::to_string(g));
  EXPECT_EQ(reporter.RangeMax, 5);
}

// The summary says how many groups "Max groups" left out.
TEST_F(FileClones, TheSummaryCountsTheGroupsLeftOut) {
  AddSizeGroups(12);
  const struct {
    int32_t maxGroups;
    size_t cut;
  } cases[] = {{5, 7}, {12, 0}, {13, 0}, {0, 0}, {-3, 0}, {1, 11}};
  for (const auto& c : cases) {
    Run(CompareMode::cmSize, c.maxGroups);
    EXPECT_EQ(state.Summary.FileGroupsCut, c.cut) << c.maxGroups;
  }
}

// Stops at its first look at the flag, as a Stop pressed while a large list is bucketed (off
// the scan's thread in the window).
class StopAtFirstLook final : public ScanReporter {
 public:
  explicit StopAtFirstLook(RecordingReporter& inner) : FInner(inner) {}
  bool IsStopRequested() const override {
    ++Looks;
    FInner.Stop();
    return true;
  }
  void ReportStatus(const std::string& text) override { FInner.ReportStatus(text); }
  void SetProgressRange(int32_t min, int32_t max) override { FInner.SetProgressRange(min, max); }
  void SetProgressPosition(int32_t position) override { FInner.SetProgressPosition(position); }
  void SetProgressMarquee(bool marquee) override { FInner.SetProgressMarquee(marquee); }
  void PumpEvents() override { FInner.PumpEvents(); }
  ScanSettings CurrentSettings() override { return FInner.CurrentSettings(); }

  mutable int Looks = 0;

 private:
  RecordingReporter& FInner;
};

// A stop while a long list is put into buckets ends the grouping there: nothing is listed, the
// list is left closed, no group counts as cut, and the closing text is not shown.
TEST_F(FileClones, AStopWhileBucketingListsNothing) {
  for (const CompareMode mode : {CompareMode::cmSize, CompareMode::cmName}) {
    state.lvFiles.ClearRows();
    state.FFiles.clear();
    AddSizeGroups(40000);
    StopAtFirstLook stopping(reporter);
    reporter.Settings.Mode = mode;
    reporter.Settings.MaxGroups = 1;
    FindFileDuplicates(state, stopping);
    EXPECT_EQ(state.lvFiles.RowCount(), 0u);
    EXPECT_EQ(state.Summary.FileGroupsCut, 0u);
    EXPECT_GE(stopping.Looks, 1);
    EXPECT_TRUE(reporter.StatusesStartingWith("Duplicate").empty());
    ExpectListClosed();
  }
}

TEST_F(FileClones, TotalsDecideTheOrderAndTiesAreOrderedByPath) {
  // Two files of 1.4 MiB (2.8 MiB) come after three of 1 MiB (3 MiB); the equal totals of the
  // last two groups are ordered by their first member's path, not by collection order.
  Add({{"/z/b1", 1468006, ""},
       {"/z/b2", 1468006, ""},
       {"/t/q", 500, ""},
       {"/t/q2", 500, ""},
       {"/a/m1", MiB, ""},
       {"/a/m2", MiB, ""},
       {"/a/m3", MiB, ""},
       {"/s/p", 250, ""},
       {"/s/p2", 250, ""},
       {"/s/p3", 250, ""},
       {"/s/p4", 250, ""},
       {"/n/neg", -1, ""},
       {"/n/neg2", -1, ""},
       {"/n/zero", 0, ""},
       {"/n/zero2", 0, ""}});
  Run(CompareMode::cmSize);
  const Listing expected = {
      {"/a/m1", "/a/m2", "/a/m3"}, {"/z/b1", "/z/b2"},      {"/s/p", "/s/p2", "/s/p3", "/s/p4"},
      {"/t/q", "/t/q2"},           {"/n/zero", "/n/zero2"}, {"/n/neg", "/n/neg2"}};
  EXPECT_EQ(Listed(), expected);
}

TEST_F(FileClones, ListingReportsEveryFiftyGroupsAndReadsSettingsOnce) {
  AddSizeGroups(120);
  reporter.OnPump = [this] { reporter.Settings.MaxGroups = 60; };  // too late to matter
  Run(CompareMode::cmSize);
  EXPECT_EQ(Listed().size(), 120u);
  EXPECT_EQ(reporter.StatusesStartingWith("Listing"),
            (Paths{"Listing file groups (50/120)...", "Listing file groups (100/120)..."}));
  EXPECT_EQ(reporter.LastStatus(), "Duplicate file groups populated.");
  EXPECT_EQ(reporter.Positions, (std::vector<int32_t>{0, 50, 100, 120}));
  EXPECT_EQ(reporter.RangeMax, 120);
  EXPECT_EQ(reporter.Pumps, 2);
  ExpectListClosed();
}

TEST_F(FileClones, FewerThanFiftyGroupsShowNoListingText) {
  AddSizeGroups(49);
  Run(CompareMode::cmSize);
  EXPECT_TRUE(reporter.StatusesStartingWith("Listing").empty());
  EXPECT_EQ(reporter.Statuses, (Paths{"Duplicate file groups populated."}));
  EXPECT_EQ(reporter.Pumps, 0);
}

TEST_F(FileClones, StopTakesEffectAtTheNextFiftyGroups) {
  for (int stopAtPump : {1, 2}) {
    state.lvFiles.ClearRows();
    state.FFiles.clear();
    state.FStopRequested = false;
    reporter.Statuses.clear();
    reporter.Pumps = 0;
    AddSizeGroups(120);
    reporter.OnPump = [this, stopAtPump] {
      if (reporter.Pumps == stopAtPump) reporter.Stop();
    };
    Run(CompareMode::cmSize);
    const size_t kept = 50u * static_cast<size_t>(stopAtPump);
    EXPECT_EQ(Listed().size(), kept);
    EXPECT_EQ(state.lvFiles.RowCount(), 2 * kept);
    EXPECT_EQ(reporter.Position, static_cast<int32_t>(kept));
    EXPECT_EQ(reporter.LastStatus(), "Listing file groups (" + std::to_string(kept) + "/120)...");
    ExpectListClosed();
  }
}

TEST_F(FileClones, AnErrorWhileListingClosesTheListAndTravelsOn) {
  AddSizeGroups(60);
  reporter.OnPump = [] { throw std::runtime_error("window gone"); };
  EXPECT_THROW(Run(CompareMode::cmSize), std::runtime_error);
  EXPECT_EQ(Listed().size(), 50u);
  ExpectListClosed();
}

TEST_F(FileClones, NothingToGroupEmptiesThePreviousListing) {
  AddSizeGroups(3);
  Run(CompareMode::cmSize);
  ASSERT_EQ(Listed().size(), 3u);
  for (const CompareMode mode : {CompareMode::cmContent, CompareMode::cmSize}) {
    if (mode == CompareMode::cmSize) {
      state.lvFiles.ClearRows();
      state.FFiles.clear();
    }
    reporter.Positions.clear();
    Run(mode);  // no hashes at all, then no files at all
    EXPECT_EQ(state.lvFiles.RowCount(), 0u);
    EXPECT_TRUE(state.lvFiles.Groups().empty());
    EXPECT_EQ(reporter.RangeMax, 1);
    EXPECT_EQ(reporter.Positions, (std::vector<int32_t>{0, 0}));
    EXPECT_EQ(reporter.LastStatus(), "Duplicate file groups populated.");
  }
}

TEST_F(FileClones, TheSamePathCollectedTwiceIsAGroup) {
  Add({{"/a/f", 10, "h"}, {"/a/f", 10, "h"}});
  Run(CompareMode::cmContent);
  EXPECT_EQ(Listed(), (Listing{{"/a/f", "/a/f"}}));
}

// Counts the view notifications of one listing.
class CountingObserver final : public ResultListObserver {
 public:
  void BeforeReset() override { ++Resets; }
  void AfterReset() override { ++Ends; }
  void ChecksChanged(size_t, size_t) override { ++Checks; }
  void RepaintRequested() override {}
  int Resets = 0, Ends = 0, Checks = 0;
};

TEST_F(FileClones, AListingIsOneResetOfTheView) {
  AddSizeGroups(120);
  Run(CompareMode::cmSize);
  CountingObserver view;
  state.lvFiles.SetObserver(&view);
  Run(CompareMode::cmSize);
  EXPECT_EQ(view.Resets, 1);
  EXPECT_EQ(view.Ends, 1);
  EXPECT_EQ(view.Checks, 0);
  state.lvFiles.SetObserver(nullptr);
}

}  // namespace
}  // namespace parvolane
