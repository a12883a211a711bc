#include "engine/folder_clones.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/scan_settings.h"
#include "platform/posix/unique_dir.h"
#include "support/deep_tree.h"
#include "support/recording_reporter.h"
#include "support/temp_tree.h"
#include "support/unprivileged.h"

namespace parvolane {
namespace {

using testing::RecordingReporter;
using testing::TempTree;
using Groups = std::vector<std::vector<std::string>>;
namespace fs = std::filesystem;

void MakeTwentyFiveFolders(TempTree& tree);

class FolderClones : public ::testing::Test {
 protected:
  FolderClones() { reporter.Settings.MaxGroups = 0; }

  // Runs the detection over the given folders (relative to the tree; "" is the tree itself)
  // and returns the listed groups as paths relative to the tree.
  Groups Run(const std::vector<std::string>& folders = {""}) {
    reporter.Settings.Folders.clear();
    for (const std::string& folder : folders)
      reporter.Settings.Folders.push_back(folder.empty() ? tree.Root() : tree.Path(folder));
    FindDirectoryDuplicates(state, reporter);
    return Listed();
  }

  Groups Listed() const {
    Groups groups;
    int lastId = 0;
    for (const ResultRow& row : state.lvDirs.Rows()) {
      if (groups.empty() || row.GroupId != lastId) groups.emplace_back();
      lastId = row.GroupId;
      groups.back().push_back(Relative(RowTexts(row)[1]));
    }
    return groups;
  }

  std::string Relative(const std::string& path) const {
    if (path == tree.Root()) return ".";
    const std::string prefix = tree.Root() + "/";
    return path.starts_with(prefix) ? path.substr(prefix.size()) : path;
  }

  // Folders A and B with equal trees (other contents): A/f, A/s/g.
  void MakeTwins() {
    tree.FileOfSize("A/f", 10, 1);
    tree.FileOfSize("A/s/g", 5, 2);
    tree.FileOfSize("B/f", 10, 3);
    tree.FileOfSize("B/s/g", 5, 4);
  }

  // The brackets of the list are closed and its look restored, whichever way the run ended.
  void ExpectListSettled() const {
    EXPECT_EQ(state.lvDirs.UpdateDepth(), 0);
    EXPECT_TRUE(state.lvDirs.GroupView());
  }

  TempTree tree;
  ScanState state;
  RecordingReporter reporter{state};
};

TEST_F(FolderClones, IdenticalTreesAreListedAndSoAreTheirIdenticalSubfolders) {
  MakeTwins();
  const Groups expected = {{"A", "B"}, {"A/s", "B/s"}};
  EXPECT_EQ(Run({""}), expected);
  EXPECT_EQ(Run({"A", "B"}), expected);  // scan folders themselves can be members

  const ResultList& list = state.lvDirs;
  ASSERT_EQ(list.Groups().size(), 2u);
  EXPECT_EQ(list.Groups()[0].Header, "Group 1 (" + FormatSizeMB(30) + ")");
  EXPECT_EQ(list.Groups()[1].Header, "Group 2 (" + FormatSizeMB(10) + ")");
  EXPECT_EQ(RowTexts(list.Row(0)),
            (std::vector<std::string>{"1", tree.Path("A"), FormatSizeMB(15)}));
  for (const ResultRow& row : list.Rows())
    EXPECT_FALSE(row.Checked);
  ExpectListSettled();
}

TEST_F(FolderClones, FolderNamesDoNotMatterAndEntryNamesIgnoreCase) {
  tree.FileOfSize("Photos/IMG_01.JPG", 20, 1);
  tree.FileOfSize("Photos/Raw/x.cr2", 30, 2);
  tree.FileOfSize("copy of photos/img_01.jpg", 20, 3);
  tree.FileOfSize("copy of photos/RAW/X.CR2", 30, 4);
  EXPECT_EQ(Run(), (Groups{{"copy of photos", "Photos"}, {"copy of photos/RAW", "Photos/Raw"}}));
}

TEST_F(FolderClones, HostileNamesAreListedByTheirRealBytes) {
  const std::vector<std::string> names = {"caf\xE9", "\xF0\x9F\x98\x80 ,\"x\ty\nz"};
  for (const std::string& name : names)
    tree.File(name + "/a\nb", "1234");
  EXPECT_EQ(Run(), (Groups{names}));
}

TEST_F(FolderClones, OneChangeBreaksThatFolderAndEveryFolderAbove) {
  const struct {
    const char* Name;
    std::function<void(TempTree&)> Change;
  } cases[] = {
      {"one byte more", [](TempTree& t) { t.FileOfSize("B/mid/leaf/f", 11, 9); }},
      {"a file renamed",
       [](TempTree& t) { fs::rename(t.Path("B/mid/leaf/f"), t.Path("B/mid/leaf/f2")); }},
      {"an empty file more", [](TempTree& t) { t.File("B/mid/leaf/e", ""); }},
      {"an empty folder more", [](TempTree& t) { t.Dir("B/mid/leaf/new"); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    fs::remove_all(tree.Path("A"));
    fs::remove_all(tree.Path("B"));
    for (const std::string top : {"A", "B"}) {
      tree.FileOfSize(top + "/top.txt", 3);
      tree.FileOfSize(top + "/mid/leaf/f", 10);
      tree.FileOfSize(top + "/mid/keep/k", 7);
    }
    c.Change(tree);
    EXPECT_EQ(Run(), (Groups{{"A/mid/keep", "B/mid/keep"}}));
  }
}

TEST_F(FolderClones, EmptyFoldersFormOneGroupListedLast) {
  MakeTwins();
  tree.Dir("e1");
  tree.Dir("empties/e2");
  tree.Dir("holder/e3");
  EXPECT_EQ(Run(), (Groups{{"A", "B"}, {"A/s", "B/s"}, {"e1", "empties/e2", "holder/e3"}}));
  EXPECT_EQ(state.lvDirs.Groups().back().Header, "Group 3 (" + FormatSizeMB(0) + ")");
}

TEST_F(FolderClones, MinGroupSizeAndMaxGroupsAreReadWhenGroupingBegins) {
  for (const std::string copy : {"d1", "d2"})
    tree.FileOfSize(copy + "/f", 100);
  for (const std::string copy : {"p1", "p2"})
    tree.FileOfSize(copy + "/g", 50);
  for (const std::string copy : {"t1", "t2", "t3"})
    tree.FileOfSize(copy + "/h", 5);
  const Groups all = {{"d1", "d2"}, {"p1", "p2"}, {"t1", "t2", "t3"}};
  const struct {
    int32_t MinGroupSize, MaxGroups;
    Groups Expected;
  } cases[] = {
      {2, 0, all},
      {1, 0, all},  // below 2 counts as 2
      {-5, 0, all},
      {3, 0, {{"t1", "t2", "t3"}}},
      {4, 0, {}},
      {2, 2, {{"d1", "d2"}, {"p1", "p2"}}},
      {0, 1, {{"d1", "d2"}}},
      {2, -1, all},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.MinGroupSize << "/" << c.MaxGroups);
    reporter.Settings.MinGroupSize = 99;
    reporter.Settings.MaxGroups = 99;
    reporter.OnPump = [&] {
      if (reporter.LastStatus() == "Grouping duplicate directories...") {
        reporter.Settings.MinGroupSize = c.MinGroupSize;
        reporter.Settings.MaxGroups = c.MaxGroups;
      }
    };
    EXPECT_EQ(Run(), c.Expected);
  }
}

TEST_F(FolderClones, UnreadableFoldersAndTheFoldersHoldingThemAreNeverClones) {
  tree.FileOfSize("A/a", 4, 1);
  tree.FileOfSize("A/locked/x", 5, 2);
  tree.FileOfSize("B/a", 4, 3);
  tree.FileOfSize("B/locked/other", 9, 4);
  testing::ShareWithNobody(tree.Root());
  ASSERT_EQ(::chmod(tree.Path("A/locked").c_str(), 0), 0);
  ASSERT_EQ(::chmod(tree.Path("B/locked").c_str(), 0), 0);
  const std::optional<std::string> outcome = testing::RunUnprivileged([this] {
    std::string text;
    for (const std::vector<std::string>& group : Run()) {
      for (const std::string& member : group)
        text += member + " ";
      text += "| ";
    }
    return text + "left out: " + std::to_string(state.Summary.FoldersLeftOut);
  });
  if (!outcome) GTEST_SKIP() << "cannot become nobody (65534) to make a folder unreadable";
  // Both locked folders would sign alike ("files and folders unknown"), and so their parents;
  // left out are the tree, A, B and the locked ones.
  EXPECT_EQ(*outcome, "left out: 5");
}

TEST_F(FolderClones, FoldersThatVanishBeforeAnalysisAreLeftOut) {
  tree.FileOfSize("x/y/f", 3);
  tree.FileOfSize("z/f2", 4);
  tree.FileOfSize("keep/k", 1);
  tree.FileOfSize("keep2/k", 1);
  bool removed = false;
  reporter.OnPump = [&] {
    if (removed || reporter.Marquee || !reporter.LastStatus().starts_with("Collecting")) return;
    removed = true;
    fs::remove_all(tree.Path("x"));
    fs::remove_all(tree.Path("z"));
  };
  // x, x/y and z cannot be read at analysis: none of them is offered (the tree above no longer
  // holds them, so it is read whole).
  EXPECT_EQ(Run(), (Groups{{"keep", "keep2"}}));
  EXPECT_EQ(state.Summary.FoldersLeftOut, 3u);
  EXPECT_EQ(state.Summary.Skipped.Count(SkipKind::Vanished), 3u);
}

TEST_F(FolderClones, NoFolderIsEverOfferedAsACloneOfItself) {
  tree.FileOfSize("x/sub/f", 5);
  tree.FileOfSize("x/g", 3);
  tree.FileOfSize("y/sub/f", 5);
  tree.FileOfSize("y/g", 3);
  tree.Symlink("link-x", tree.Path("x"));
  tree.Symlink("link-x-sub", tree.Path("x/sub"));
  const Groups clones = {{"x", "y"}, {"x/sub", "y/sub"}};
  const struct {
    std::vector<std::string> Folders;
    Groups Expected;
  } cases[] = {
      {{"x", "x"}, {}},
      {{"x", "x/sub"}, {}},
      {{"x/sub", "x"}, {}},
      {{"x/", "x/./sub/.."}, {}},
      {{"x", "link-x"}, {}},
      {{"link-x", "x"}, {}},
      {{"x", "link-x-sub"}, {}},
      {{"x", "y", "x/sub", "x"}, clones},
      {{"x/sub", "x", "y", "link-x"}, clones},
      // A folder first reached as a linked scan folder is found again under x and listed there.
      {{"link-x-sub", "x", "y"}, clones},
      {{"link-x-sub", "y"}, {{"link-x-sub", "y/sub"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.Folders));
    EXPECT_EQ(Run(c.Folders), c.Expected);
  }
}

TEST_F(FolderClones, LinksAreEntriesOfSizeZeroAndNeverFollowed) {
  for (const std::string copy : {"d1", "d2", "d3", "d4"})
    tree.FileOfSize(copy + "/data", 100);
  tree.FileOfSize("big/one", 1000);
  tree.FileOfSize("big/two", 2000);
  tree.Symlink("d2/loop", "..");              // a cycle back to the top
  tree.Symlink("d3/loop", "/nonexistent");    // dangling
  tree.Symlink("d4/loop", tree.Path("big"));  // a folder inside the scan
  EXPECT_EQ(Run(), (Groups{{"d2", "d3", "d4"}}));
}

TEST_F(FolderClones, NamesDifferingOnlyInCaseInOneFolderAreTwoEntries) {
  tree.FileOfSize("X/a.txt", 5, 1);
  tree.FileOfSize("X/A.txt", 5, 2);
  tree.FileOfSize("Y/a.txt", 5, 3);  // one file: trashing X as its clone would lose a file
  tree.FileOfSize("Z/A.TXT", 5, 4);
  tree.FileOfSize("Z/a.TxT", 5, 5);
  EXPECT_EQ(Run(), (Groups{{"X", "Z"}}));
}

TEST_F(FolderClones, AFoldersClonedContentsStandRightAfterIt) {
  for (const std::string copy : {"Photos", "Photos - Copy"}) {
    tree.FileOfSize(copy + "/2019/beach.jpg", 50, 1);
    tree.FileOfSize(copy + "/index.txt", 5, 2);
  }
  // The first member of each group is inside the first member of the group before.
  EXPECT_EQ(Run(), (Groups{{"Photos", "Photos - Copy"}, {"Photos/2019", "Photos - Copy/2019"}}));
}

TEST_F(FolderClones, RowsCarryWhatTheScanSawAndCutGroupsAreCounted) {
  MakeTwins();
  reporter.Settings.MaxGroups = 1;
  Run();
  ASSERT_EQ(state.lvDirs.RowCount(), 2u);
  for (const ResultRow& row : state.lvDirs.Rows()) {
    struct stat st {};
    ASSERT_EQ(::stat(row.Path.c_str(), &st), 0);
    EXPECT_TRUE(row.Seen.Known);
    EXPECT_EQ(row.Seen.Id, (FileId{st.st_dev, st.st_ino}));
    EXPECT_EQ(row.Seen.MTimeNs, MTimeNsOf(st));
    EXPECT_EQ(row.Seen.Size, 15);
    EXPECT_EQ(row.Digest.size(), 40u);
  }
  EXPECT_EQ(state.lvDirs.Row(0).Digest, state.lvDirs.Row(1).Digest);
  EXPECT_EQ(state.Summary.DirGroupsCut, 1u);
}

TEST_F(FolderClones, TheUsersTrashIsNeverCollected) {
  MakeTwins();
  const std::string uid = std::to_string(::getuid());
  for (const std::string& trash : {".Trash-" + uid, ".Trash/" + uid, std::string("xdg/Trash")}) {
    tree.FileOfSize(trash + "/files/A/f", 10, 1);
    tree.FileOfSize(trash + "/files/A/s/g", 5, 2);
  }
  const char* saved = std::getenv("XDG_DATA_HOME");
  const std::string savedXdg = saved != nullptr ? saved : "";
  ::setenv("XDG_DATA_HOME", tree.Path("xdg").c_str(), 1);
  const Groups groups = Run();
  if (saved != nullptr) {
    ::setenv("XDG_DATA_HOME", savedXdg.c_str(), 1);
  } else {
    ::unsetenv("XDG_DATA_HOME");
  }
  EXPECT_EQ(groups, (Groups{{"A", "B"}, {"A/s", "B/s"}}));
}

TEST_F(FolderClones, AStopDuringCollectionIsSeenWithinTheWalk) {
  MakeTwentyFiveFolders(tree);
  reporter.StopAtQuery = 10;
  EXPECT_EQ(Run(), Groups{});
  EXPECT_LT(reporter.StopQueries.load(), 15);  // 25 folders and 17 files would take far more
  EXPECT_EQ(reporter.LastStatus(), "Collecting directories: " + tree.Root());
  ExpectListSettled();
}

TEST_F(FolderClones, MembersStandInPathOrder) {
  for (const std::string copy : {"_old", "abc", "ABD", "sub/x", "sub"})
    tree.FileOfSize(copy + "/f", 5);
  // "sub" holds a copy and another folder, so it is no clone; "sub/x" is.
  EXPECT_EQ(Run(), (Groups{{"abc", "ABD", "sub/x", "_old"}}));
}

// 25 folders (the tree, 7 pairs of clones, 10 single folders) and 7 groups.
void MakeTwentyFiveFolders(TempTree& tree) {
  for (int i = 0; i < 7; ++i) {
    tree.FileOfSize("pair" + std::to_string(i) + "a/f", 100 - i);
    tree.FileOfSize("pair" + std::to_string(i) + "b/f", 100 - i);
  }
  for (int i = 0; i < 10; ++i)
    tree.FileOfSize("single" + std::to_string(i) + "/f", 200 + i);
}

TEST_F(FolderClones, StatusTextsAreThrottled) {
  MakeTwentyFiveFolders(tree);
  reporter.Settings.Folders = {tree.Root() + "/", tree.Path("missing")};
  FindDirectoryDuplicates(state, reporter);
  const std::vector<std::string> expected = {
      "Collecting directories: " + tree.Root() + "/",
      "Analyzing directories (0/25)...",
      "Analyzing directories (10/25)...",
      "Analyzing directories (20/25)...",
      "Analyzing directories (25/25)...",
      "Grouping duplicate directories...",
      "Listing directory groups...",
      "Listing directory groups (5/7)...",
      "Duplicate directory groups listed.",
  };
  EXPECT_EQ(reporter.Statuses, expected);
  EXPECT_EQ(Listed().size(), 7u);
  EXPECT_EQ(Listed().front(), (std::vector<std::string>{"pair0a", "pair0b"}));
  EXPECT_EQ(reporter.RangeMax, 7);
  EXPECT_EQ(reporter.Position, 0);
  EXPECT_FALSE(reporter.Marquee);
  ExpectListSettled();
}

TEST_F(FolderClones, NoExistingScanFolderLeavesStatusAndListAlone) {
  reporter.Settings.Folders = {tree.Path("missing")};
  reporter.ReportStatus("before");
  state.lvDirs.AddGroup(1, "old");
  ResultRow old;
  old.GroupId = 1;
  old.Path = "/old";
  state.lvDirs.AddRow(std::move(old));
  FindDirectoryDuplicates(state, reporter);
  EXPECT_EQ(reporter.Statuses, std::vector<std::string>{"before"});
  EXPECT_EQ(state.lvDirs.RowCount(), 0u);
  EXPECT_TRUE(state.lvDirs.Groups().empty());
  ExpectListSettled();
}

TEST_F(FolderClones, AStopLeavesWhatItsPhaseLeaves) {
  MakeTwentyFiveFolders(tree);
  const struct {
    const char* Phase;
    std::string StopAt;  // the status shown when the stop is pressed
    std::string LastStatus;
    size_t GroupsListed;
    bool AnalysisStarted;
  } cases[] = {
      {"collection", "Collecting directories: " + tree.Root(),
       "Collecting directories: " + tree.Root(), 0, false},
      {"analysis", "Analyzing directories (10/25)...", "Analyzing directories (10/25)...", 0, true},
      {"grouping", "Grouping duplicate directories...", "Directory scan cancelled.", 0, true},
      {"listing", "Listing directory groups (5/7)...", "Directory scan cancelled.", 5, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Phase);
    state.FStopRequested = false;
    reporter.Statuses.clear();
    reporter.OnPump = [&] {
      if (reporter.LastStatus() == c.StopAt) reporter.Stop();
    };
    // The second scan folder (already collected with the first) is reached only without a
    // stop during the first.
    EXPECT_EQ(Run({"", "pair0a"}).size(), c.GroupsListed);
    EXPECT_EQ(reporter.LastStatus(), c.LastStatus);
    EXPECT_EQ(reporter.StatusesStartingWith("Collecting").size(), c.AnalysisStarted ? 2u : 1u);
    EXPECT_EQ(reporter.StatusesStartingWith("Analyzing").empty(), !c.AnalysisStarted);
    if (c.LastStatus == "Directory scan cancelled.") {
      EXPECT_EQ(reporter.Position, 0);
    }
    ExpectListSettled();
  }
}

TEST_F(FolderClones, AnErrorWhileListingClosesTheBracketsAndKeepsTheGroupsListed) {
  MakeTwentyFiveFolders(tree);
  reporter.OnPump = [&] {
    if (reporter.LastStatus() == "Listing directory groups (5/7)...") {
      throw std::runtime_error("out of memory");
    }
  };
  EXPECT_THROW(Run(), std::runtime_error);
  EXPECT_EQ(Listed().size(), 5u);
  ExpectListSettled();
}

// ---- Deep trees ------------------------------------------------------------------------------

// Builds `depth` nested folders named `name` below the open folder `fd` and returns the deepest
// one open (or -1). Works below any path length, since every step is relative.
int MakeChain(int fd, int depth, const char* name) {
  int current = ::dup(fd);
  for (int i = 0; i < depth && current >= 0; ++i) {
    ::mkdirat(current, name, 0755);
    const int next = ::openat(current, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(current);
    current = next;
  }
  return current;
}

void WriteFileAt(int fd, const char* name, size_t size) {
  const int file = ::openat(fd, name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(file, 0);
  const std::string content(size, 'x');
  EXPECT_EQ(::write(file, content.data(), size), static_cast<ssize_t>(size));
  ::close(file);
}

// Removes everything below the open folder `fd`, relative to it, whatever the path length.
void RemoveBelow(int fd) {
  const UniqueDir dir = UniqueDir::Adopt(UniqueFd(::dup(fd)));
  if (!dir.IsOpen()) return;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const int child = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (child >= 0) {
      RemoveBelow(child);
      ::close(child);
      ::unlinkat(fd, name.c_str(), AT_REMOVEDIR);
    } else {
      ::unlinkat(fd, name.c_str(), 0);
    }
  }
}

TEST_F(FolderClones, DeepTreesAndPathsLongerThanPathMaxAreSigned) {
  // Below a shared stem of 70 levels (more than the walk keeps open) two branches p and q of
  // 100 levels each, the whole in A and in B: the deepest paths are longer than PATH_MAX.
  const char* const segment = "a-rather-long-folder-name";
  const int root = ::open(tree.Root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(root, 0);
  // The temporary tree's own removal goes by full paths, which these are too long for.
  struct RemoveDeepTree {
    int Fd;
    ~RemoveDeepTree() {
      RemoveBelow(Fd);
      ::close(Fd);
    }
  } removeDeepTree{root};
  for (const char* top : {"A", "B"}) {
    ::mkdirat(root, top, 0755);
    const int topFd = ::openat(root, top, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int stem = MakeChain(topFd, 70, segment);
    for (const char* branch : {"p", "q"}) {
      const int start = MakeChain(stem, 1, branch);
      const int bottom = MakeChain(start, 99, segment);
      ASSERT_GE(bottom, 0);
      WriteFileAt(bottom, "f", 1 << 20);
      ::close(bottom);
      ::close(start);
    }
    ::close(stem);
    ::close(topFd);
  }

  const Groups groups = Run();
  // A with B, each of the 70 stem levels with its twin, and each of the 100 branch levels in
  // four copies (p and q, in A and in B); no folder fell back to unknown lines (total 0).
  EXPECT_EQ(groups.size(), 1u + 70u + 100u);
  EXPECT_EQ(groups.front(), (std::vector<std::string>{"A", "B"}));
  size_t longest = 0;
  for (const auto& group : groups) {
    for (const std::string& path : group)
      longest = std::max(longest, path.size());
  }
  EXPECT_GT(longest, static_cast<size_t>(PATH_MAX));
  for (const ResultGroup& group : state.lvDirs.Groups())
    EXPECT_EQ(group.Header.find("(" + FormatSizeMB(0) + ")"), std::string::npos) << group.Header;
}

TEST_F(FolderClones, TwoClonedChainsOfTwentyThousandLevelsAreGrouped) {
  const int levels = 20000;
  for (const char* top : {"A", "B"})
    testing::MakeFolderChain(tree.Path(top), levels, "d", "f", "at the bottom");
  struct RemoveChains {
    const TempTree& Tree;
    ~RemoveChains() {
      for (const char* top : {"A", "B"})
        testing::RemoveTreeAt(Tree.Path(top));
    }
  } removeChains{tree};

  // A with B, and every level of A with the same level of B; only the first few are listed.
  reporter.Settings.MaxGroups = 3;
  EXPECT_EQ(Run(), (Groups{{"A", "B"}, {"A/d", "B/d"}, {"A/d/d", "B/d/d"}}));
  EXPECT_EQ(state.Summary.DirGroupsCut, static_cast<size_t>(levels + 1 - 3));
  EXPECT_EQ(state.lvDirs.Groups().front().Header,
            "Group 1 (" + FormatSizeMB(2 * static_cast<int64_t>(sizeof "at the bottom" - 1)) + ")");

  reporter.Settings.CollapseNestedDirGroups = true;
  state.Summary.DirGroupsCut = 0;
  EXPECT_EQ(Run(), (Groups{{"A", "B"}}));
  EXPECT_EQ(state.Summary.DirGroupsCut, 0u);
}

// ---- Hiding nested groups --------------------------------------------------------------------

TEST_F(FolderClones, NestedGroupsAreHiddenOnlyWhenAllTheirMembersLieInsideOneOtherGroup) {
  const struct {
    const char* Name;
    std::function<void(TempTree&)> Make;
    Groups All, Collapsed;
  } cases[] = {
      {"clones inside clones",
       [](TempTree& t) {
         for (const std::string top : {"A", "B"}) {
           t.FileOfSize(top + "/f", 10);
           t.FileOfSize(top + "/s/t/g", 5);
         }
       },
       {{"A", "B"}, {"A/s", "B/s"}, {"A/s/t", "B/s/t"}},
       {{"A", "B"}}},
      {"one more copy outside",
       [](TempTree& t) {
         for (const std::string top : {"x", "y"}) {
           t.FileOfSize(top + "/f", 30);
           t.FileOfSize(top + "/s/g", 5);
         }
         t.FileOfSize("z/g", 5);
       },
       {{"x", "y"}, {"x/s", "y/s", "z"}},
       {{"x", "y"}, {"x/s", "y/s", "z"}}},
      {"inside two different groups",
       [](TempTree& t) {
         for (const std::string top : {"p", "q"}) {
           t.FileOfSize(top + "/f", 40);
           t.FileOfSize(top + "/s/g", 5);
         }
         for (const std::string top : {"r", "u"}) {
           t.FileOfSize(top + "/f", 30);
           t.FileOfSize(top + "/s/g", 5);
         }
       },
       {{"p", "q"}, {"r", "u"}, {"p/s", "q/s", "r/s", "u/s"}},
       {{"p", "q"}, {"r", "u"}, {"p/s", "q/s", "r/s", "u/s"}}},
      {"inside a group further up than the nearest",
       [](TempTree& t) {
         for (const std::string top : {"h1", "h2"}) {
           t.FileOfSize(top + "/k/m/f", 5);
           t.FileOfSize(top + "/k/kf", 7);
           t.FileOfSize(top + "/mm/f", 5);
         }
       },
       {{"h1", "h2"}, {"h1/k", "h2/k"}, {"h1/k/m", "h1/mm", "h2/k/m", "h2/mm"}},
       {{"h1", "h2"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TempTree caseTree;
    c.Make(caseTree);
    reporter.Settings.Folders = {caseTree.Root()};
    for (const bool collapse : {false, true}) {
      reporter.Settings.CollapseNestedDirGroups = collapse;
      FindDirectoryDuplicates(state, reporter);
      Groups listed;
      int expectedId = 0;
      for (const ResultRow& row : state.lvDirs.Rows()) {
        if (listed.empty() || row.GroupId != expectedId) {
          listed.emplace_back();
          expectedId = static_cast<int>(listed.size());
          EXPECT_EQ(row.GroupId, expectedId);  // numbered as listed, without gaps
        }
        listed.back().push_back(CellText(row, 1).substr(caseTree.Root().size() + 1));
      }
      EXPECT_EQ(listed, collapse ? c.Collapsed : c.All) << (collapse ? "collapsed" : "all");
    }
  }
}

TEST_F(FolderClones, MaxGroupsCountsTheGroupsLeftAfterHidingNestedOnes) {
  for (const std::string top : {"x", "y"}) {
    tree.FileOfSize(top + "/f", 30);
    tree.FileOfSize(top + "/s/g", 5);
  }
  tree.FileOfSize("z/g", 5);
  for (const std::string top : {"w1", "w2"}) {
    tree.FileOfSize(top + "/big", 100);
    tree.FileOfSize(top + "/n/h", 3);
  }
  reporter.Settings.CollapseNestedDirGroups = true;
  reporter.Settings.MaxGroups = 2;
  EXPECT_EQ(Run(), (Groups{{"w1", "w2"}, {"x", "y"}}));
  // Cut is x/s, y/s and z; w1/n with w2/n is hidden, not cut.
  EXPECT_EQ(state.Summary.DirGroupsCut, 1u);
}

}  // namespace
}  // namespace parvolane
