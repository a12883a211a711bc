#include "engine/scan_driver.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "support/recording_reporter.h"
#include "support/temp_tree.h"

namespace parvolane {
namespace {

using testing::RecordingReporter;
using testing::TempTree;

// Lets a test make CurrentSettings fail at a chosen call, to see how the driver reports an
// error that escapes a stage.
class FailingReporter final : public ScanReporter {
 public:
  FailingReporter(RecordingReporter& inner, int failAtCall) : FInner(inner), FFailAt(failAtCall) {}
  void ReportStatus(const std::string& t) override { FInner.ReportStatus(t); }
  void SetProgressRange(int32_t a, int32_t b) override { FInner.SetProgressRange(a, b); }
  void SetProgressPosition(int32_t p) override { FInner.SetProgressPosition(p); }
  void SetProgressMarquee(bool m) override { FInner.SetProgressMarquee(m); }
  void PumpEvents() override { FInner.PumpEvents(); }
  bool IsStopRequested() const override { return FInner.IsStopRequested(); }
  ScanSettings CurrentSettings() override {
    if (++FCalls == FFailAt) throw std::runtime_error("settings unavailable");
    return FInner.CurrentSettings();
  }

 private:
  RecordingReporter& FInner;
  int FFailAt;
  int FCalls = 0;
};

class ScanDriverTest : public ::testing::Test {
 protected:
  ScanDriverTest() {
    tree.File("a/one.bin", "same");
    tree.File("b/two.bin", "same");
    reporter.Settings.Folders = {tree.Root() + "/"};
    reporter.Settings.MinSizeMB = 0;
  }
  void ExpectIdleLook() {
    EXPECT_FALSE(reporter.Marquee);
    EXPECT_EQ(reporter.Position, 0);
    EXPECT_FALSE(driver.IsScanning());
  }

  TempTree tree;
  ScanState state;
  RecordingReporter reporter{state};
  ScanDriver driver{state, reporter};
};

TEST_F(ScanDriverTest, AnEmptyFolderListChangesNothing) {
  driver.btnScanClick();
  ASSERT_EQ(state.FFiles.size(), 2u);
  const auto statuses = reporter.Statuses.size();

  reporter.Settings.Folders.clear();
  bool started = false;
  driver.btnScanClick([&] { started = true; });
  EXPECT_FALSE(started);
  EXPECT_EQ(driver.OutcomeMessage(), "Please add at least one folder.");
  EXPECT_EQ(reporter.Statuses.size(), statuses);
  EXPECT_EQ(state.FFiles.size(), 2u);
  EXPECT_EQ(driver.LastOutcome(), ScanOutcome::NoFolders);
}

TEST_F(ScanDriverTest, AMaskThatCannotBeUsedIsRefusedBeforeAnythingChanges) {
  driver.btnScanClick();
  ASSERT_EQ(state.FFiles.size(), 2u);
  const struct {
    const char* maskText;
    const char* message;
  } cases[] = {
      {"[", "Invalid file mask '[': the set has no closing bracket."},
      {"*.jpg [abc", "Invalid file mask '[abc': the set has no closing bracket."},
      {"Photos/*.jpg", "Invalid file mask 'Photos/*.jpg': '/' cannot stand in a file name."},
      {"*.txt;a:b", "Invalid file mask 'a:b': ':' cannot stand in a file name."},
      {"x[]", "Invalid file mask 'x[]': the set is empty."},
      {"[!]", "Invalid file mask '[!]': the set is empty."},
      {"[-z]*", "Invalid file mask '[-z]*': a range in the set has no first character."},
  };
  for (const auto& c : cases) {
    reporter.Settings.MaskText = c.maskText;
    const auto statuses = reporter.Statuses.size();
    const auto positions = reporter.Positions.size();
    const int pumps = reporter.Pumps;
    bool started = false;
    driver.btnScanClick([&] { started = true; });
    EXPECT_FALSE(started) << c.maskText;
    EXPECT_EQ(driver.OutcomeMessage(), c.message) << c.maskText;
    EXPECT_EQ(driver.LastOutcome(), ScanOutcome::InvalidMask) << c.maskText;
    EXPECT_EQ(driver.LastError(), c.message);
    EXPECT_EQ(reporter.Statuses.size(), statuses) << c.maskText;
    EXPECT_EQ(reporter.Positions.size(), positions) << c.maskText;
    EXPECT_EQ(reporter.Pumps, pumps) << c.maskText;
    EXPECT_EQ(state.FFiles.size(), 2u) << c.maskText;
    ExpectIdleLook();
  }
  for (const char* fine : {"*.*", "[a-c]* *.t[x]t", "[!a]?", "\"My Photos*\""}) {
    EXPECT_EQ(ValidateMasks(fine), std::nullopt) << fine;
  }
}

TEST_F(ScanDriverTest, RunsThroughToDone) {
  reporter.Settings.Folders = {tree.Path("missing/")};
  driver.btnScanClick();
  EXPECT_EQ(reporter.StatusesStartingWith("Found ").back(), "Found 0 files (after filters).");
  EXPECT_EQ(reporter.LastStatus(), "  Done.");
  EXPECT_EQ(driver.LastOutcome(), ScanOutcome::Done);
  EXPECT_EQ(driver.OutcomeMessage(), std::nullopt);
  ExpectIdleLook();
}

TEST_F(ScanDriverTest, NoHashingWithoutContentModeOrCloneSwitches) {
  for (CompareMode mode : {CompareMode::cmName, CompareMode::cmSize, CompareMode::cmNameAndSize}) {
    reporter.Settings.Mode = mode;
    reporter.Statuses.clear();
    driver.btnScanClick();
    EXPECT_TRUE(reporter.StatusesStartingWith("Computing SHA-1").empty());
  }
  reporter.Settings.Mode = CompareMode::cmContent;
  reporter.Settings.FindFileClones = false;
  reporter.Settings.FindFolderClones = false;
  reporter.Statuses.clear();
  driver.btnScanClick();
  EXPECT_TRUE(reporter.StatusesStartingWith("Computing SHA-1").empty());
  EXPECT_EQ(reporter.LastStatus(), "  Done.");
  EXPECT_EQ(state.FFiles.size(), 2u);
  EXPECT_EQ(state.lvFiles.RowCount(), 0u);
}

TEST_F(ScanDriverTest, AStopDuringTheFolderScanKeepsItsOwnText) {
  reporter.OnPump = [&] { driver.RequestStop(); };
  driver.btnScanClick();
  EXPECT_EQ(driver.LastOutcome(), ScanOutcome::Stopped);
  EXPECT_EQ(reporter.LastStatus(), "Scanning cancelled. 0 files collected so far.");
  EXPECT_TRUE(reporter.StatusesStartingWith("Cancelled").empty());
  EXPECT_EQ(driver.OutcomeMessage(), std::nullopt);
  ExpectIdleLook();

  // The next scan starts with a cleared flag.
  reporter.OnPump = nullptr;
  driver.btnScanClick();
  EXPECT_EQ(reporter.LastStatus(), "  Done.");
  EXPECT_FALSE(state.IsStopRequested());
}

TEST_F(ScanDriverTest, AnErrorIsShownAndTheWindowReturnsToIdle) {
  FailingReporter failing(reporter, 3);  // the read of the compare mode after the folder scan
  ScanDriver failingDriver(state, failing);
  reporter.Marquee = true;  // as if the failing stage had left its marquee on
  failingDriver.btnScanClick();
  EXPECT_EQ(failingDriver.OutcomeMessage(), "Error: settings unavailable");
  EXPECT_EQ(failingDriver.LastOutcome(), ScanOutcome::Failed);
  EXPECT_EQ(reporter.LastStatus(), "Found 2 files (after filters).");
  EXPECT_FALSE(reporter.Marquee);
  EXPECT_EQ(reporter.Position, 0);
  EXPECT_FALSE(failingDriver.IsScanning());
}

TEST_F(ScanDriverTest, ASecondScanDuringAScanIsIgnored) {
  int nested = 0;
  reporter.OnPump = [&] {
    if (nested++ == 0) driver.btnScanClick();
  };
  driver.btnScanClick();
  EXPECT_EQ(reporter.StatusesStartingWith("Scanning folders...").size(), 1u);
  EXPECT_EQ(state.FFiles.size(), 2u);
  EXPECT_EQ(reporter.LastStatus(), "  Done.");
}

// The front end's busy look goes on once, after the stop flag of the last scan is cleared and
// before the first stage says anything.
TEST_F(ScanDriverTest, TheStartHookRunsOnceBeforeTheFirstStage) {
  state.FStopRequested.store(true);
  int starts = 0;
  size_t statusesAtStart = 0;
  int pumpsAtStart = -1;
  driver.btnScanClick([&] {
    ++starts;
    EXPECT_FALSE(state.IsStopRequested());
    EXPECT_TRUE(driver.IsScanning());
    statusesAtStart = reporter.Statuses.size();
    pumpsAtStart = reporter.Pumps;
  });
  EXPECT_EQ(starts, 1);
  EXPECT_EQ(statusesAtStart, 0u);
  EXPECT_EQ(pumpsAtStart, 0);
  EXPECT_EQ(reporter.LastStatus(), "  Done.");
  ExpectIdleLook();
}

}  // namespace
}  // namespace parvolane
