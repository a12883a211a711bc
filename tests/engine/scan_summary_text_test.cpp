#include "engine/scan_summary_text.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "engine/file_info.h"

namespace parvolane {
namespace {

using std::chrono::milliseconds;

ResultRow FileRow(int group, uint64_t inode, int64_t size, bool known = true) {
  ResultRow row;
  row.GroupId = group;
  row.IsFile = true;
  row.Path = "/d/f";
  row.Seen.Id = FileId{1, static_cast<ino_t>(inode)};
  row.Seen.Size = size;
  row.Seen.Known = known;
  return row;
}

TEST(ScanSummaryText, ExtraCopiesCountEveryFileButTheFirstOfAGroupOnce) {
  ResultList files(FileListColumns());
  files.AddRow(FileRow(1, 10, 100));
  files.AddRow(FileRow(1, 10, 100));  // a hard link of the kept copy takes no space
  files.AddRow(FileRow(1, 11, 100));
  files.AddRow(FileRow(1, 11, 100));  // nor one of an extra copy
  files.AddRow(FileRow(2, 20, 3000));
  ResultRow unknown = FileRow(2, 21, 3000, false);  // unknown identity: a file of its own
  files.AddRow(unknown);
  files.AddRow(FileRow(3, 30, 1));
  files.AddRow(FileRow(3, 11, 100));  // reached again in another group: counted already
  ResultList dirs(DirListColumns());
  ScanSummary summary;
  summary.FileGroupsCut = 4;
  const ScanFacts facts = SummarizeScan(files, dirs, summary, true, false);
  EXPECT_EQ(facts.FileGroups, 3u);
  EXPECT_EQ(facts.Files, 8u);
  EXPECT_EQ(facts.ExtraBytes, 3100);
  EXPECT_EQ(SummaryText(facts),
            "3 groups, 8 files, 3.0 KB in extra copies; 4 groups not listed "
            "(Max groups)");
}

TEST(ScanSummaryText, OneLineWithWhatWasLookedForCutAndSkipped) {
  ScanFacts none;
  ScanFacts one;
  one.FileClones = true;
  one.FileGroups = 1;
  one.Files = 1;
  one.ExtraBytes = 5;
  one.FileGroupsCut = 1;
  one.Skipped = 1;
  ScanFacts all;
  all.FileClones = all.FolderClones = true;
  all.FileGroups = 12;
  all.Files = 31;
  all.ExtraBytes = 1288490189;  // 1.2 GB
  all.DirGroups = 2;
  all.Dirs = 5;
  all.DirGroupsCut = 3;
  all.FoldersLeftOut = 2;
  all.FolderErrors = 2;
  all.Skipped = 7;
  ScanFacts foldersOnly;
  foldersOnly.FolderClones = true;
  foldersOnly.DirGroups = 1;
  foldersOnly.Dirs = 2;
  ScanFacts noCache = foldersOnly;
  noCache.CacheProblem = "the database was written by a newer version";
  const struct {
    ScanFacts facts;
    const char* text;
  } cases[] = {
      {none, "no clones looked for"},
      {one,
       "1 group, 1 file, 5 B in extra copies; 1 group not listed (Max groups); 1 entry "
       "skipped"},
      {all,
       "12 groups, 31 files, 1.2 GB in extra copies; 2 folder groups, 5 folders; 3 folder "
       "groups not listed (Max groups); 2 folders left out of folder clones (not read "
       "whole); 2 scan folders not scanned; 7 entries skipped"},
      {foldersOnly, "1 folder group, 2 folders"},
      {noCache,
       "1 folder group, 2 folders; hash cache not used: the database was written by a newer "
       "version"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(SummaryText(c.facts), c.text);
  EXPECT_EQ(SummaryText(all, ",").substr(0, 43), "12 groups, 31 files, 1,2 GB in extra copies");
}

TEST(ScanSummaryText, TerminalLinesListTheSkippedEntriesByKindAndOneByOne) {
  ScanSummary summary;
  summary.Skipped.Add(SkipKind::UnreadableFolder, "/a/locked", EACCES);
  summary.Skipped.Add(SkipKind::UnreadableFolder, "/a/other", EACCES);
  summary.Skipped.Add(SkipKind::Vanished, "/a/gone,\"x\"\n.bin", 0);
  summary.FolderErrors.push_back("cannot scan '/does/not/exist': No such file or directory");
  const ResultList files(FileListColumns());
  const ResultList dirs(DirListColumns());
  const ScanFacts facts = SummarizeScan(files, dirs, summary, true, false);
  const std::string denied = std::generic_category().message(EACCES);
  EXPECT_EQ(SummaryLines(facts, summary),
            (std::vector<std::string>{
                "Summary: 0 groups, 0 files, 0 B in extra copies; 1 scan folder not scanned; 3 "
                "entries skipped",
                "Skipped: 2 unreadable folders, 1 vanished entry",
                "Skipped (unreadable folder): /a/locked: " + denied,
                "Skipped (unreadable folder): /a/other: " + denied,
                "Skipped (vanished): /a/gone,\"x\"\n.bin",
            }));
  EXPECT_EQ(SkippedListText(summary),
            "Not scanned: cannot scan '/does/not/exist': No such file or directory\n"
            "Skipped (unreadable folder): /a/locked: " +
                denied + "\nSkipped (unreadable folder): /a/other: " + denied +
                "\nSkipped (vanished): /a/gone,\"x\"\n.bin");

  for (size_t i = 0; i < SkipLog::kKept + 5; ++i)
    summary.Skipped.Add(SkipKind::UnreadableFile, "/f", EIO);
  const std::vector<std::string> lines = SkippedEntryLines(summary);
  ASSERT_EQ(lines.size(), SkipLog::kKept + 1);
  EXPECT_EQ(lines.back(), "Skipped: 8 more entries not listed");
}

TEST(ScanSummaryText, ByteSizes) {
  const struct {
    int64_t bytes;
    const char* text;
  } cases[] = {
      {-1, "0 B"},
      {0, "0 B"},
      {1023, "1023 B"},
      {1024, "1.0 KB"},
      {1536, "1.5 KB"},
      {10188, "9.9 KB"},
      {10189, "10 KB"},
      {1048063, "1023 KB"},
      {1048064, "1.0 MB"},
      {432013312, "412 MB"},
      {2254857830LL, "2.1 GB"},
      {INT64_MAX, "8.0 EB"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(FormatByteSize(c.bytes), c.text) << c.bytes;
}

TEST(ScanSummaryText, ByteProgressShowsRateAndTimeLeftOnceItCanBeMeasured) {
  ByteProgressMeter meter;
  const auto t0 = ByteProgressMeter::Clock::time_point{} + std::chrono::hours(1);
  const int64_t mb = 1048576;
  EXPECT_EQ(meter.Text(0, 2100 * mb, t0, " | "), "0 B of 2.1 GB");
  EXPECT_EQ(meter.Text(100 * mb, 2100 * mb, t0 + milliseconds(200), " | "), "100 MB of 2.1 GB");
  EXPECT_EQ(meter.Text(400 * mb, 2100 * mb, t0 + milliseconds(1000), " | "),
            "400 MB of 2.1 GB | 400 MB/s | 5 s left");
  EXPECT_EQ(meter.Text(401 * mb, 2100 * mb, t0 + milliseconds(401000), " | "),
            "401 MB of 2.1 GB | 1.0 MB/s | 29 min left");
  EXPECT_EQ(meter.Text(2100 * mb, 2100 * mb, t0 + milliseconds(402000), " | "),
            "2.1 GB of 2.1 GB | 5.2 MB/s");
  // Counting from the start again (a new scan) starts a new measurement.
  EXPECT_EQ(meter.Text(0, 10 * mb, t0 + milliseconds(500000), " | "), "0 B of 10 MB");
  EXPECT_EQ(meter.Text(1 * mb, 10 * mb * 3600, t0 + milliseconds(501000), " | "),
            "1.0 MB of 35 GB | 1.0 MB/s | 10 h 0 min left");
}

TEST(ScanSummaryText, TerminalProgressBar) {
  EXPECT_EQ(ProgressBarLine(0, 0, "x", 4), "[----] x");
  EXPECT_EQ(ProgressBarLine(1, 4, "x", 4), "[#---] x");
  EXPECT_EQ(ProgressBarLine(3, 4, "x", 4), "[###-] x");
  EXPECT_EQ(ProgressBarLine(9, 4, "x", 4), "[####] x");
}

}  // namespace
}  // namespace parvolane
