#include "engine/dir_paths.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace parvolane {
namespace {

std::string CurrentFolder() {
  char buf[4096];
  return ::getcwd(buf, sizeof buf) != nullptr ? std::string(buf) : std::string();
}

TEST(NormalizeDirPath, AbsoluteWithoutTrailingSlashExceptTheRoot) {
  const std::string cwd = CurrentFolder();
  const struct {
    std::string In, Out;
  } cases[] = {
      {"/data/photos", "/data/photos"},
      {"/data/photos/", "/data/photos"},
      {"/data//photos///", "/data/photos"},
      {"/data/./old/../photos", "/data/photos"},
      {"/", "/"},
      {"//", "/"},
      {"/..", "/"},
      {"/Data/C:", "/Data/C:"},  // a colon is an ordinary character here
      {"rel/dir/", cwd == "/" ? "/rel/dir" : cwd + "/rel/dir"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(NormalizeDirPath(c.In), c.Out) << c.In;
}

TEST(EntryName, LastComponentLowerCased) {
  const struct {
    std::string In, Out;
  } cases[] = {
      {"/x/Raw", "raw"}, {"/x/Raw/", "raw"},        {"/x/ÄRGER Ω", "ärger ω"}, {"name", "name"},
      {"/", "/"},        {"/x/caf\xE9", "caf\xE9"},  // invalid UTF-8 kept as it is
  };
  for (const auto& c : cases)
    EXPECT_EQ(EntryName(c.In), c.Out) << c.In;
}

TEST(HasAncestorIn, TestsProperAncestorsUpToTheRootExactly) {
  const struct {
    std::string Path;
    std::vector<std::string> Set;
    bool Expected;
  } cases[] = {
      {"/a/b/c", {"/a"}, true},
      {"/a/b/c", {"/a/b"}, true},
      {"/a/b/c/", {"/a/b"}, true},
      {"/a/./x/../b/c", {"/a"}, true},
      {"/a/b", {"/"}, true},
      {"/a/b/c", {"/a/b/c"}, false},  // the path itself is never tested
      {"/", {"/"}, false},
      {"/a/bc", {"/a/b"}, false},  // a shared prefix is not an ancestor
      {"/A/b", {"/a"}, false},     // paths are case sensitive
      {"/a/b", {}, false},
  };
  for (const auto& c : cases) {
    const PathSet set(c.Set.begin(), c.Set.end());
    EXPECT_EQ(HasAncestorIn(c.Path, set), c.Expected) << c.Path;
  }
}

TEST(PathOrder, FoldsOnlyAsciiLettersSoUnderscoreComesAfterLetters) {
  std::vector<std::string> paths = {"/p/_old", "/p/a_b", "/p/ABD", "/p/abc", "/p/ab",
                                    "/p/x",    "/p/X",   "/p",     "/p/é",   "/p/É"};
  std::sort(paths.begin(), paths.end(), PathLess);
  const std::vector<std::string> expected = {"/p",   "/p/ab", "/p/abc",  "/p/ABD", "/p/a_b",
                                             "/p/X", "/p/x",  "/p/_old", "/p/É",   "/p/é"};
  EXPECT_EQ(paths, expected);
}

TEST(PathOrder, AFoldersContentsFollowItBeforeAnyOtherName) {
  const struct {
    std::vector<std::string> Paths;
    std::vector<std::string> Expected;
  } cases[] = {
      {{"/d/Photos - Copy/2019", "/d/Photos - Copy", "/d/Photos/2019", "/d/Photos"},
       {"/d/Photos", "/d/Photos/2019", "/d/Photos - Copy", "/d/Photos - Copy/2019"}},
      {{"/A.bak", "/A/x", "/A (2)", "/A", "/A-old/y", "/A!"},
       {"/A", "/A/x", "/A (2)", "/A!", "/A-old/y", "/A.bak"}},
      {{"/x-old", "/x/sub/deep", "/x"}, {"/x", "/x/sub/deep", "/x-old"}},
  };
  for (auto c : cases) {
    std::sort(c.Paths.begin(), c.Paths.end(), PathLess);
    EXPECT_EQ(c.Paths, c.Expected);
  }
}

TEST(AnalysisOrder, LongerPathsFirstSoFoldersBelowComeFirst) {
  std::vector<std::string> paths = {"/a", "/a/b", "/c/d/e", "/b/c", "/a/b/c", "/"};
  std::sort(paths.begin(), paths.end(), AnalysisLess);
  const std::vector<std::string> expected = {"/a/b/c", "/c/d/e", "/a/b", "/b/c", "/a", "/"};
  EXPECT_EQ(paths, expected);
}

TEST(SignatureText, ListsEntriesSortedWithCrLf) {
  SignatureTextBuilder text;
  const std::string rawSig(40, 'b');
  text.AddFile("notes.txt", 10);
  text.AddFolder("Raw", rawSig, 4096);
  text.AddFile("IMG_01.JPG", 2048);
  EXPECT_EQ(text.Text(), "D|raw|" + rawSig + "|4096\r\nF|img_01.jpg|2048\r\nF|notes.txt|10\r\n");

  text.Clear();
  EXPECT_EQ(text.Text(), "");
  text.AddFolder("Gone", "", 0);
  text.AddFile("ÉTÉ.TXT", 0);
  EXPECT_EQ(text.Text(), "D|gone|!UNKNOWN_CHILD_SIG!|0\r\nF|été.txt|0\r\n");

  text.Clear();
  text.AddFilesAccessError();
  text.AddDirsAccessError();
  EXPECT_EQ(text.Text(), "!DIRS_ACCESS_ERROR!\r\n!FILES_ACCESS_ERROR!\r\n");
}

std::string TextOf(const std::vector<std::pair<std::string, int64_t>>& files) {
  SignatureTextBuilder text;
  for (const auto& [name, size] : files)
    text.AddFile(name, size);
  return std::string(text.Text());
}

TEST(SignatureText, EveryEntryCountsEvenWhenNamesDifferOnlyInCase) {
  // Two files of one folder whose names differ in case are two files: the folder must never
  // sign like a folder holding only one of them, or trashing that "clone" loses a file.
  const std::string both = TextOf({{"a.txt", 5}, {"A.txt", 5}});
  EXPECT_NE(both, TextOf({{"a.txt", 5}}));
  EXPECT_EQ(both, TextOf({{"A.TXT", 5}, {"a.TxT", 5}}));
  EXPECT_EQ(TextOf({{"b", 1}, {"a", 2}}), TextOf({{"a", 2}, {"b", 1}}));
}

TEST(SignatureText, ANameCannotPassForSeveralEntries) {
  // A Linux file name may hold CR, LF and '|'; one such name must not read as two lines.
  EXPECT_NE(TextOf({{"a|1\r\nF|b", 2}}), TextOf({{"a", 1}, {"b", 2}}));
  EXPECT_NE(TextOf({{"x\\n", 1}}), TextOf({{"x\n", 1}}));
  SignatureTextBuilder folder;
  folder.AddFolder("s|" + std::string(40, 'c') + "|0\r\nD|t", std::string(40, 'd'), 0);
  SignatureTextBuilder twoFolders;
  twoFolders.AddFolder("s", std::string(40, 'c'), 0);
  twoFolders.AddFolder("t", std::string(40, 'd'), 0);
  EXPECT_NE(folder.Text(), twoFolders.Text());
}

TEST(SignatureOfText, Sha1AsLowerCaseHex) {
  EXPECT_EQ(SignatureOfText(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(SignatureOfText("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

// Builds the tree of the given paths (every path's parent given too) and checks that the keys
// order every pair as PathLess orders their paths.
void ExpectKeysFollowPathLess(const std::vector<std::string>& paths) {
  std::vector<PathNode> nodes;
  std::vector<uint32_t> order;
  for (const std::string& path : paths) {
    const size_t slash = path.rfind('/');
    const std::string parent = slash == 0 ? std::string("/") : path.substr(0, slash);
    const auto found = std::find(paths.begin(), paths.end(), parent);
    const bool top = path == "/";
    ASSERT_TRUE(top || found != paths.end()) << path;
    nodes.push_back(PathNode{top ? kNoPathNode : static_cast<uint32_t>(found - paths.begin()),
                             top ? std::string_view() : std::string_view(path).substr(slash + 1)});
  }
  // Parents first: by the number of components.
  for (uint32_t i = 0; i < paths.size(); ++i)
    order.push_back(i);
  std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
    return std::count(paths[a].begin(), paths[a].end(), '/') + (paths[a] == "/" ? -1 : 0) <
           std::count(paths[b].begin(), paths[b].end(), '/') + (paths[b] == "/" ? -1 : 0);
  });
  const std::vector<uint64_t> keys = PathOrderKeys(nodes, order);
  for (size_t a = 0; a < paths.size(); ++a) {
    for (size_t b = 0; b < paths.size(); ++b) {
      EXPECT_EQ(keys[a] < keys[b], PathLess(paths[a], paths[b])) << paths[a] << " / " << paths[b];
    }
  }
}

TEST(PathOrderKeys, OrderFolderTreesAsPathLessOrdersTheirPaths) {
  const std::vector<std::vector<std::string>> trees = {
      // A folder's contents right after it, before a longer sibling name.
      {"/", "/a", "/a/x", "/ab", "/a b", "/a-", "/_old", "/abc", "/ABD"},
      // Siblings differing only in case interleave their contents by the folded path.
      {"/", "/P", "/P/a", "/P/A", "/P/a/b", "/P/A/z", "/P/A/b", "/P/a/z", "/P/aa", "/P/A/b/c",
       "/P/a/b/C"},
      // Names beyond ASCII and a name that is the start of another.
      {"/", "/caf\xC3\xA9", "/CAF\xC3\xA9", "/caf", "/caf/\xC3\xA9", "/x", "/x/y", "/x/Y", "/X",
       "/X/y"},
  };
  for (const std::vector<std::string>& paths : trees)
    ExpectKeysFollowPathLess(paths);
}

}  // namespace
}  // namespace parvolane
