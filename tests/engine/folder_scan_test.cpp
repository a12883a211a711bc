#include "engine/folder_scan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <algorithm>
#include <optional>
#include <set>
#include <stdexcept>
#include <system_error>

#include "engine/scan_driver.h"
#include "support/recording_reporter.h"
#include "support/temp_tree.h"
#include "support/unprivileged.h"

namespace parvolane {
namespace {

using testing::CollectedPaths;
using testing::RecordingReporter;
using testing::TempTree;

std::vector<std::string> Paths(const std::vector<FoundFile>& found) {
  std::vector<std::string> out;
  for (const FoundFile& f : found)
    out.push_back(f.Path);
  return out;
}

std::set<std::string> AsSet(const std::vector<std::string>& v) {
  return {v.begin(), v.end()};
}

// In a pre-order walk the files below any folder form one unbroken run.
void ExpectPreOrder(const std::vector<std::string>& paths, const std::string& folder) {
  const std::string prefix = folder + "/";
  ptrdiff_t first = -1;
  ptrdiff_t last = -1;
  for (ptrdiff_t i = 0; i < static_cast<ptrdiff_t>(paths.size()); ++i) {
    if (paths[static_cast<size_t>(i)].rfind(prefix, 0) == 0) {
      if (first < 0) first = i;
      last = i;
    }
  }
  for (ptrdiff_t i = first; i >= 0 && i <= last; ++i) {
    EXPECT_EQ(paths[static_cast<size_t>(i)].rfind(prefix, 0), 0u)
        << paths[static_cast<size_t>(i)] << " breaks the run of " << folder;
  }
}

void MakeSparse(const std::string& path, int64_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, size), 0);
  ::close(fd);
}

TEST(WalkFolder, ListsEveryMatchingFileDepthFirst) {
  TempTree tree;
  tree.File("a.txt", "1");
  tree.File(".hidden.txt", "2");
  tree.File("b.jpg", "3");
  tree.File("sub/c.txt", "4");
  tree.File("sub/deeper/d.TXT", "5");
  tree.File("sub/deeper/e.jpg", "6");
  tree.File("other/f.txt", "7");
  tree.Dir("empty");

  const auto found = Paths(WalkFolder(tree.Root(), "*.txt"));
  EXPECT_EQ(AsSet(found),
            AsSet({tree.Path("a.txt"), tree.Path(".hidden.txt"), tree.Path("sub/c.txt"),
                   tree.Path("sub/deeper/d.TXT"), tree.Path("other/f.txt")}));
  ExpectPreOrder(found, tree.Path("sub"));
  ExpectPreOrder(found, tree.Path("sub/deeper"));

  // A folder given with a trailing separator gets no second one.
  for (const std::string& p : Paths(WalkFolder(tree.Root() + "/", "a.txt"))) {
    EXPECT_EQ(p, tree.Path("a.txt"));
  }
}

TEST(WalkFolder, FollowsLinksToFoldersOnceAndEndsOnCycles) {
  TempTree tree;
  tree.File("real/x.bin", "xx");
  tree.Symlink("link-to-real", tree.Path("real"));
  tree.Symlink("real/loop", tree.Root());  // a cycle back to the top
  tree.Symlink("file-link", tree.Path("real/x.bin"));

  const auto found = WalkFolder(tree.Root(), "*");
  std::vector<std::string> paths = Paths(found);
  // The folder is walked once, whichever way was met first; the link to the file is listed
  // with its own size of 0.
  const auto xs = std::count_if(paths.begin(), paths.end(),
                                [](const std::string& p) { return p.ends_with("/x.bin"); });
  EXPECT_EQ(xs, 1);
  const auto link = std::find_if(found.begin(), found.end(), [&](const FoundFile& f) {
    return f.Path == tree.Path("file-link");
  });
  ASSERT_NE(link, found.end());
  EXPECT_EQ(link->Size, 0);
}

TEST(WalkFolder, UnreadableFoldersContributeNothing) {
  TempTree tree;
  tree.File("open/a.txt", "a");
  tree.File("closed/b.txt", "b");
  testing::ShareWithNobody(tree.Root());
  ASSERT_EQ(::chmod(tree.Path("closed").c_str(), 0), 0);
  const std::optional<std::string> found = testing::RunUnprivileged([&] {
    std::string text;
    for (const std::string& path : Paths(WalkFolder(tree.Root(), "*")))
      text += path + "\n";
    return text;
  });
  if (!found) GTEST_SKIP() << "cannot become nobody (65534) to make a folder unreadable";
  EXPECT_EQ(*found, tree.Path("open/a.txt") + "\n");
}

// One walk for several masks gives every mask the list that a walk of its own would give; a
// bad mask finds nothing and spoils nothing for the others.
TEST(WalkFolderWithMasks, GivesEachMaskTheListOfItsOwnWalk) {
  TempTree tree;
  tree.File("a.txt", "1");
  tree.File("b.JPG", "2");
  tree.File("sub/c.txt", "3");
  tree.File("sub/d.jpg", "4");
  tree.File("sub/deeper/e.txt", "5");
  const std::vector<std::string> masks = {"*.jpg", "[bad", "*.txt", "a:b", "*.*", "*.txt"};
  const auto lists = WalkFolderWithMasks(tree.Root(), masks);
  ASSERT_EQ(lists.size(), masks.size());
  for (size_t m = 0; m < masks.size(); ++m) {
    std::vector<std::string> alone;
    try {
      alone = Paths(WalkFolder(tree.Root(), masks[m]));
    } catch (const std::invalid_argument&) {
      // a walk of its own would fail: no files
    }
    EXPECT_EQ(Paths(lists[m]), alone) << masks[m];
  }
  EXPECT_EQ(lists[2].size(), 3u);
  EXPECT_TRUE(lists[1].empty());
  EXPECT_THROW(WalkFolderWithMasks(tree.Path("missing"), masks), std::system_error);
}

TEST(WalkFolder, RejectsBadFoldersAndMasks) {
  TempTree tree;
  tree.File("a.txt", "a");
  EXPECT_THROW(WalkFolder(tree.Path("missing"), "*"), std::system_error);
  EXPECT_THROW(WalkFolder(tree.Path("a.txt"), "*"), std::system_error);
  EXPECT_THROW(WalkFolder("", "*"), std::invalid_argument);
  EXPECT_THROW(WalkFolder(tree.Root(), "a:b"), std::invalid_argument);
  EXPECT_THROW(WalkFolder(tree.Root(), "a\\b"), std::invalid_argument);
  EXPECT_THROW(WalkFolder(tree.Root(), "[a"), std::invalid_argument);
}

class CollectFilesTest : public ::testing::Test {
 protected:
  void Collect(std::vector<std::string> folders, const std::string& masks, int32_t minSizeMB) {
    reporter.Settings.Folders = std::move(folders);
    reporter.Settings.MaskText = masks;
    reporter.Settings.MinSizeMB = minSizeMB;
    CollectFiles(state, reporter);
  }
  std::string Folder() const { return tree.Root() + "/"; }

  TempTree tree;
  ScanState state;
  RecordingReporter reporter{state};
};

TEST_F(CollectFilesTest, SizeFilterBoundaries) {
  tree.Dir("big");
  MakeSparse(tree.Path("short"), 1048575);
  MakeSparse(tree.Path("exact"), 1048576);
  MakeSparse(tree.Path("big/just-short"), (int64_t{2048} << 20) - 1);
  MakeSparse(tree.Path("big/exact-2g"), int64_t{2048} << 20);
  tree.File("empty", "");
  tree.File("tiny", "t");

  Collect({Folder()}, "*.*", 1);
  EXPECT_EQ(AsSet(CollectedPaths(state)),
            AsSet({tree.Path("exact"), tree.Path("big/just-short"), tree.Path("big/exact-2g")}));

  ScanState none;
  RecordingReporter r2{none};
  r2.Settings = reporter.Settings;
  r2.Settings.MinSizeMB = 2048;
  CollectFiles(none, r2);
  EXPECT_EQ(CollectedPaths(none), std::vector<std::string>{tree.Path("big/exact-2g")});

  ScanState all;
  RecordingReporter r3{all};
  r3.Settings = reporter.Settings;
  r3.Settings.MinSizeMB = 0;
  CollectFiles(all, r3);
  EXPECT_EQ(all.FFiles.size(), 5u);  // everything but the empty file
  EXPECT_EQ(r3.LastStatus(), "Found 5 files (after filters).");
}

TEST_F(CollectFilesTest, RecordsHoldPathNameAndSize) {
  tree.File("Photos/Photo.JPG", "12345");
  Collect({Folder()}, "*.jpg", 0);
  ASSERT_EQ(state.FFiles.size(), 1u);
  const TFileInfo& record = *state.FFiles[0];
  EXPECT_EQ(record.FullPath, tree.Path("Photos/Photo.JPG"));
  EXPECT_EQ(record.Name(), "Photo.JPG");
  EXPECT_EQ(record.Size, 5);
  EXPECT_TRUE(record.ContentHash.empty());
  EXPECT_EQ(state.FFileMap.find(record.FullPath), &record);
  EXPECT_EQ(state.FFileMap.find(record.FullPath + "x"), nullptr);

  EXPECT_EQ(TFileInfo(tree.Path("gone")).Size, -1);
  tree.Symlink("link", tree.Path("Photos/Photo.JPG"));
  EXPECT_EQ(TFileInfo(tree.Path("link")).Size, 0);
}

TEST_F(CollectFilesTest, OrderIsFolderThenMaskThenWalk) {
  tree.File("one/a.txt", "a");
  tree.File("one/b.jpg", "b");
  tree.File("two/c.txt", "c");
  tree.File("two/d.jpg", "d");
  Collect({tree.Path("one/"), tree.Path("two/"), tree.Path("missing/")}, "*.jpg;*.txt", 0);
  EXPECT_EQ(CollectedPaths(state),
            (std::vector<std::string>{tree.Path("one/b.jpg"), tree.Path("one/a.txt"),
                                      tree.Path("two/d.jpg"), tree.Path("two/c.txt")}));
  EXPECT_EQ(
      reporter.StatusesStartingWith("Scanning folder list: "),
      (std::vector<std::string>{"Scanning folder list: " + tree.Path("one/") + "   [*.jpg]",
                                "Scanning folder list: " + tree.Path("one/") + "   [*.txt]",
                                "Scanning folder list: " + tree.Path("two/") + "   [*.jpg]",
                                "Scanning folder list: " + tree.Path("two/") + "   [*.txt]"}));
}

TEST_F(CollectFilesTest, TheSameFileIsCollectedOnce) {
  const std::string original = tree.File("top/inner/a.dat", "same file");
  tree.HardLink("top/hard.dat", original);
  tree.Symlink("top/via-link", tree.Path("top/inner"));
  // Overlapping folders, two masks that both match, a hard link and a link to a folder.
  Collect({Folder(), tree.Path("top/inner/"), Folder()}, "*.dat;a.*", 0);
  ASSERT_EQ(state.FFiles.size(), 1u);
  EXPECT_EQ(state.FFileMap.size(), 1u);
}

TEST_F(CollectFilesTest, BadMasksKeepNothingAndTheScanGoesOn) {
  tree.File("a.txt", "a");
  Collect({Folder()}, "a:b;x\\y;[bad;*.txt", 0);
  EXPECT_EQ(CollectedPaths(state), std::vector<std::string>{tree.Path("a.txt")});
}

TEST_F(CollectFilesTest, StatusEveryFiftyKeptFilesAndTheLast) {
  for (int i = 0; i < 120; ++i)
    tree.File("f" + std::to_string(i), "x");
  Collect({Folder()}, "*.*", 0);
  const auto lines = reporter.StatusesStartingWith("Scanning: ");
  ASSERT_EQ(lines.size(), 4u);
  const char* counts[] = {"(1/120)", "(51/120)", "(101/120)", "(120/120)"};
  for (size_t i = 0; i < 4; ++i)
    EXPECT_TRUE(lines[i].ends_with(counts[i])) << lines[i];
  EXPECT_EQ(reporter.Position, 0);
  EXPECT_EQ(reporter.RangeMax, 120);
  EXPECT_FALSE(reporter.Marquee);
}

TEST_F(CollectFilesTest, AStopDuringAWalkKeepsNoneOfItsFiles) {
  tree.File("a.txt", "a");
  tree.File("b.jpg", "b");
  tree.File("c.jpg", "c");
  int busyPumps = 0;
  // SetBusy pumps before and after each walk; the fourth pump is the one after the second walk.
  reporter.OnPump = [&] {
    if (reporter.Statuses.back().rfind("Scanning folder list", 0) == 0 && ++busyPumps == 4) {
      reporter.Stop();
    }
  };
  Collect({Folder()}, "*.txt;*.jpg", 0);
  EXPECT_EQ(CollectedPaths(state), std::vector<std::string>{tree.Path("a.txt")});
  EXPECT_EQ(reporter.LastStatus(), "Scanning cancelled. 1 files collected so far.");
}

// A stop pressed while a walk runs (from another thread, as Ctrl-C or the window's Stop does)
// is seen by the walk itself, which ends at the next entry.
TEST_F(CollectFilesTest, AStopDuringAWalkEndsTheWalkAtOnce) {
  for (int i = 0; i < 400; ++i)
    tree.File("d" + std::to_string(i % 20) + "/f" + std::to_string(i), "x");
  int asked = 0;
  const WalkControl control{[&asked] { return ++asked > 30; }, nullptr};
  const auto found = WalkFolderWithMasks(tree.Root(), {"*"}, control);
  EXPECT_EQ(asked, 31);
  EXPECT_LT(found[0].size(), 30u);

  reporter.StopAtQuery = 40;  // the folder and mask loops ask first, then every entry
  Collect({Folder()}, "*.*", 0);
  EXPECT_EQ(reporter.StopQueries.load(), 40 + 2);  // and the stage twice more on its way out
  EXPECT_TRUE(state.FFiles.empty());
  EXPECT_EQ(reporter.LastStatus(), "Scanning cancelled. 0 files collected so far.");
}

TEST_F(CollectFilesTest, FoldersThatCannotBeScannedAreNamedAndTheOthersScanned) {
  tree.File("ok/a.txt", "a");
  const std::string file = tree.File("plain.txt", "p");
  Collect({tree.Path("missing/"), file, tree.Path("ok/")}, "*.*", 0);
  EXPECT_EQ(CollectedPaths(state), std::vector<std::string>{tree.Path("ok/a.txt")});
  EXPECT_EQ(state.Summary.FolderErrors,
            (std::vector<std::string>{
                "cannot scan '" + tree.Path("missing/") + "': No such file or directory",
                "cannot scan '" + file + "': Not a directory"}));
  EXPECT_EQ(reporter.LastStatus(), "Found 1 files (after filters).");
  EXPECT_EQ(state.Summary.Skipped.Total(), 0u);
}

// The index grows many times over while it is filled; every path must stay findable, and a
// repeated path (a different record with the same text) must never get in.
TEST(TFileMap, FindsEveryPathAcrossGrowthAndRefusesRepeats) {
  TFileList records;
  TFileMap index;
  for (int i = 0; i < 5000; ++i)
    records.push_back(std::make_unique<TFileInfo>("/t/" + std::to_string(i % 2500), 1));
  size_t added = 0;
  for (const auto& r : records)
    added += index.insert(r.get()) ? 1 : 0;
  EXPECT_EQ(added, 2500u);
  EXPECT_EQ(index.size(), 2500u);
  for (int i = 0; i < 2500; ++i)
    EXPECT_EQ(index.find("/t/" + std::to_string(i)), records[static_cast<size_t>(i)].get());
  EXPECT_EQ(index.find("/t/2500"), nullptr);
  EXPECT_EQ(index.find("/t/"), nullptr);
  index.clear();
  EXPECT_EQ(index.find("/t/1"), nullptr);
  EXPECT_TRUE(index.insert(records[2501].get()));
}

}  // namespace
}  // namespace parvolane
