// The one folder walker, through every way the scan uses it: the same tree must give each walk
// mode exactly its expected list, whatever the number of folders it may keep open.
#include "engine/tree_walker.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/folder_clones.h"
#include "engine/folder_scan.h"
#include "support/deep_tree.h"
#include "support/recording_reporter.h"
#include "support/temp_tree.h"

namespace parvolane {
namespace {

using testing::RecordingReporter;
using testing::TempTree;
using Paths = std::vector<std::string>;

// Records what a walk meets, as paths relative to the root.
class RecordingVisitor final : public WalkVisitor {
 public:
  explicit RecordingVisitor(std::string root) : FRoot(std::move(root)) {}

  WalkStep EnterFolder(const std::string& path, const struct stat& st) override {
    if (!FSeen.insert({st.st_dev, st.st_ino}).second) return WalkStep::Skip;
    Folders.push_back(Relative(path));
    return WalkStep::Continue;
  }
  WalkStep VisitFile(int, const char*, const std::string& path, const struct stat*) override {
    Files.push_back(Relative(path));
    return WalkStep::Continue;
  }
  void FolderFailed(int, const char*, const std::string& path, int) override {
    Failed.push_back(Relative(path));
  }
  void FolderLost(const std::string& path) override { Failed.push_back(Relative(path)); }

  Paths Folders;
  Paths Files;
  Paths Failed;

 private:
  std::string Relative(const std::string& path) const {
    return path == FRoot ? "." : path.substr(FRoot.size() + 1);
  }
  std::string FRoot;
  std::set<std::pair<dev_t, ino_t>> FSeen;
};

Paths Sorted(Paths paths) {
  std::sort(paths.begin(), paths.end());
  return paths;
}

// In a pre-order walk the entries below any folder form one unbroken run.
void ExpectPreOrder(const Paths& paths, const Paths& folders) {
  for (const std::string& folder : folders) {
    if (folder == ".") continue;
    ptrdiff_t first = -1;
    ptrdiff_t last = -1;
    for (size_t i = 0; i < paths.size(); ++i) {
      if (!paths[i].starts_with(folder + "/")) continue;
      if (first < 0) first = static_cast<ptrdiff_t>(i);
      last = static_cast<ptrdiff_t>(i);
    }
    for (ptrdiff_t i = first; i >= 0 && i <= last; ++i)
      EXPECT_TRUE(paths[static_cast<size_t>(i)].starts_with(folder + "/")) << folder;
  }
}

class TreeWalkerTest : public ::testing::Test {
 protected:
  TreeWalkerTest() {
    const std::string uid = std::to_string(::getuid());
    tree.File("a.txt", "a");
    tree.File("sub/b.txt", "bb");
    tree.File("sub/deeper/c.txt", "ccc");
    tree.Dir("empty");
    tree.Symlink("sub/loop", "..");  // a cycle back to the root
    tree.Symlink("file-link", tree.Path("a.txt"));
    tree.Symlink("dangling", "/nonexistent");
    outside.File("o.txt", "oooo");
    tree.Symlink("out", outside.Root());
    // The user's trash, per volume and at home: never walked.
    tree.File(".Trash-" + uid + "/files/t1.txt", "t1");
    tree.File(".Trash/" + uid + "/files/t2.txt", "t2");
    tree.File(".Trash/other.txt", "not in a trash of this user");
    tree.File("xdg/Trash/files/t3.txt", "t3");
    const char* saved = std::getenv("XDG_DATA_HOME");
    if (saved != nullptr) savedXdg = saved;
    ::setenv("XDG_DATA_HOME", tree.Path("xdg").c_str(), 1);
  }
  ~TreeWalkerTest() override {
    if (savedXdg) {
      ::setenv("XDG_DATA_HOME", savedXdg->c_str(), 1);
    } else {
      ::unsetenv("XDG_DATA_HOME");
    }
  }

  TempTree tree;
  TempTree outside;
  std::optional<std::string> savedXdg;
};

TEST_F(TreeWalkerTest, EveryWalkModeListsExactlyItsEntries) {
  const Paths files = {"a.txt", "sub/b.txt", "sub/deeper/c.txt", ".Trash/other.txt"};
  const Paths links = {"file-link", "dangling"};
  auto plus = [](Paths base, const Paths& more) {
    base.insert(base.end(), more.begin(), more.end());
    return Sorted(base);
  };
  const Paths folders = {".", "sub", "sub/deeper", "empty", ".Trash", "xdg"};

  const auto walk = [this](bool follow, size_t maxOpen, bool wantFolders) {
    RecordingVisitor visitor(tree.Root());
    EXPECT_TRUE(WalkTree(tree.Root(), WalkOptions{follow, true, maxOpen}, visitor));
    EXPECT_EQ(visitor.Failed, Paths{});
    ExpectPreOrder(visitor.Files, visitor.Folders);
    return Sorted(wantFolders ? visitor.Folders : visitor.Files);
  };
  const auto relative = [this](const Paths& paths) {
    Paths out;
    for (const std::string& path : paths)
      out.push_back(path.substr(tree.Root().size() + 1));
    return out;
  };
  const struct {
    const char* Mode;
    std::function<Paths()> List;
    Paths Expected;
  } cases[] = {
      {"links followed: files", [&] { return walk(true, 64, false); },
       plus(files, plus(links, {"out/o.txt"}))},
      {"links followed: folders", [&] { return walk(true, 64, true); }, plus(folders, {"out"})},
      {"links followed, one open folder", [&] { return walk(true, 1, false); },
       plus(files, plus(links, {"out/o.txt"}))},
      {"links not followed: files", [&] { return walk(false, 64, false); },
       plus(files, plus(links, {"out", "sub/loop"}))},
      {"links not followed: folders", [&] { return walk(false, 2, true); }, Sorted(folders)},
      {"WalkFolder",
       [&] {
         Paths found;
         for (const FoundFile& file : WalkFolder(tree.Root(), "*"))
           found.push_back(file.Path);
         return Sorted(relative(found));
       },
       plus(files, plus(links, {"out/o.txt"}))},
      {"CollectFiles (links are 0 bytes, never collected)",
       [&] {
         ScanState state;
         RecordingReporter reporter(state);
         reporter.Settings.Folders = {tree.Root()};
         reporter.Settings.MinSizeMB = 0;
         CollectFiles(state, reporter);
         return Sorted(relative(testing::CollectedPaths(state)));
       },
       plus(files, {"out/o.txt"})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Mode);
    EXPECT_EQ(c.List(), c.Expected);
  }
}

TEST_F(TreeWalkerTest, AStopEndsTheWalkAtOnceAndAVisitorMaySkipAFolder) {
  struct StopAfter final : public WalkVisitor {
    bool StopRequested() override { return ++Asked > 3; }
    WalkStep EnterFolder(const std::string& path, const struct stat&) override {
      return path.ends_with("/sub") ? WalkStep::Skip : WalkStep::Continue;
    }
    WalkStep VisitFile(int, const char*, const std::string& path, const struct stat*) override {
      Seen.push_back(path);
      return WalkStep::Continue;
    }
    void FolderFailed(int, const char*, const std::string&, int) override {}
    void FolderLost(const std::string&) override {}
    int Asked = 0;
    Paths Seen;
  } visitor;
  EXPECT_FALSE(WalkTree(tree.Root(), WalkOptions{}, visitor));
  EXPECT_EQ(visitor.Asked, 4);  // no entry after the stop was seen
  EXPECT_LE(visitor.Seen.size(), 3u);
  for (const std::string& path : visitor.Seen)
    EXPECT_FALSE(path.starts_with(tree.Path("sub/")));
}

TEST(TreeWalker, ARootThatCannotBeScannedIsAnErrorNamingIt) {
  TempTree tree;
  tree.File("file", "x");
  RecordingVisitor visitor(tree.Root());
  for (const std::string& root : {tree.Path("missing"), tree.Path("file")}) {
    try {
      WalkTree(root, WalkOptions{}, visitor);
      ADD_FAILURE() << "no error for " << root;
    } catch (const std::system_error& e) {
      EXPECT_TRUE(std::string(e.what()).starts_with("cannot scan '" + root + "': ")) << e.what();
    }
  }
}

// ---- Deep trees ------------------------------------------------------------------------------

// Two equal chains of `levels` folders, A and B, each with a file at the bottom.
struct TwoChains {
  explicit TwoChains(TempTree& tree, int levels) {
    for (const char* top : {"A", "B"}) {
      Tops.push_back(tree.Path(top));
      Deepest = testing::MakeFolderChain(Tops.back(), levels, "d", "f", "at the bottom");
    }
  }
  ~TwoChains() {
    for (const std::string& top : Tops)
      testing::RemoveTreeAt(top);
  }
  std::vector<std::string> Tops;
  std::string Deepest;
};

// Runs `body` in a child process allowed only `limit` open files; its exit status is the
// number of failed checks (255 when the child died).
int InChildWithFileLimit(rlim_t limit, const std::function<int()>& body) {
  const pid_t child = ::fork();
  if (child == 0) {
    const rlimit lower{limit, limit};
    if (::setrlimit(RLIMIT_NOFILE, &lower) != 0) ::_exit(250);
    ::_exit(body());
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return 255;
  return WEXITSTATUS(status);
}

TEST(TreeWalker, AThousandLevelsWithTwoHundredFiftySixOpenFilesAreWalkedWhole) {
  TempTree tree(testing::FastTempBase());
  const TwoChains chains(tree, 1100);
  const int failures = InChildWithFileLimit(256, [&] {
    ScanState state;
    RecordingReporter reporter(state);
    reporter.Settings.Folders = {tree.Root()};
    reporter.Settings.MinSizeMB = 0;
    reporter.Settings.MaxGroups = 0;
    CollectFiles(state, reporter);
    FindDirectoryDuplicates(state, reporter);
    // Both files; A with B and every pair of levels below them; nothing skipped.
    return int(state.FFiles.size() != 2) + int(state.lvDirs.Groups().size() != 1101) +
           int(state.Summary.Skipped.Total() != 0) + int(state.Summary.FoldersLeftOut != 0);
  });
  EXPECT_EQ(failures, 0);
}

TEST(TreeWalker, TwentyThousandLevelsNeitherOverflowNorLoseTheFile) {
  TempTree tree(testing::FastTempBase());
  const TwoChains chains(tree, 20000);
  ASSERT_GT(chains.Deepest.size(), 40000u);
  const std::vector<FoundFile> found = WalkFolder(tree.Root(), "*");
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].Path.size(), chains.Deepest.size() + 2);
  EXPECT_EQ(found[0].Size, 13);
  EXPECT_EQ(found[1].Size, 13);
}

}  // namespace
}  // namespace parvolane
