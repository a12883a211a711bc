#include "results/keep_rules.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/file_info.h"
#include "results/result_list.h"

namespace parvolane {
namespace {

struct Entry {
  int Group;
  std::string Path;
  int64_t MTime;  // 0: the entry could not be queried
};

std::unique_ptr<ResultList> ListOf(const std::vector<Entry>& entries, bool folders) {
  auto made = std::make_unique<ResultList>(folders ? DirListColumns() : FileListColumns());
  ResultList& list = *made;
  for (const Entry& e : entries) {
    if (list.GroupIndexOf(e.Group) < 0) list.AddGroup(e.Group, "Group");
    ResultRow row;
    row.GroupId = e.Group;
    row.Path = e.Path;
    row.IsFile = !folders;
    row.Seen.MTimeNs = e.MTime;
    row.Seen.Known = e.MTime != 0;
    list.AddRow(row);
  }
  return made;
}

std::vector<std::string> KeptPaths(const ResultList& list) {
  std::vector<std::string> kept;
  for (const ResultRow& row : list.Rows())
    if (!row.Checked) kept.push_back(row.Path);
  return kept;
}

struct RuleCase {
  KeepRule Rule;
  std::vector<std::string> Kept;
};

TEST(KeepRules, EachRuleKeepsOneCopyPerGroup) {
  // Group 1: the walk met the backup first; group 2 has a copy whose date is unknown.
  const std::vector<Entry> files = {
      {1, "/data/Backup/old/a.jpg", 300},      {1, "/data/Photos/a.jpg", 100},
      {1, "/data/Photos/2019/a.jpg", 200},     {2, "/data/Backup/b.txt", 0},
      {2, "/data/Photos/long/name/b.txt", 50}, {2, "/data/Backup/x/b.txt", 60},
  };
  // As the folder list holds them, with a closing separator.
  const std::vector<std::string> order = {"/data/Photos/", "/data/Backup/"};
  const RuleCase cases[] = {
      {KeepRule::First, {"/data/Backup/old/a.jpg", "/data/Backup/b.txt"}},
      {KeepRule::Newest, {"/data/Backup/old/a.jpg", "/data/Backup/x/b.txt"}},
      {KeepRule::Oldest, {"/data/Photos/a.jpg", "/data/Photos/long/name/b.txt"}},
      {KeepRule::ShortestPath, {"/data/Photos/a.jpg", "/data/Backup/b.txt"}},
      {KeepRule::FolderOrder, {"/data/Photos/a.jpg", "/data/Photos/long/name/b.txt"}},
  };
  for (const RuleCase& c : cases) {
    const auto list = ListOf(files, false);
    CheckAllButOneInGroup(*list, c.Rule, order);
    EXPECT_EQ(KeptPaths(*list), c.Kept) << KeepRuleName(c.Rule);
  }
}

TEST(KeepRules, NestedFolderGroupsFollowTheFolderKeptAboveThemWhateverTheRule) {
  // Group 2 holds the subfolders of group 1's folders: it must keep the one inside the
  // folder group 1 keeps, even when its own rule would choose the other.
  const std::vector<Entry> dirs = {
      {1, "/d/Backup", 10},
      {1, "/d/Photos", 20},
      {2, "/d/Backup/2019", 40},
      {2, "/d/Photos/2019", 30},
  };
  const RuleCase cases[] = {
      {KeepRule::First, {"/d/Backup", "/d/Backup/2019"}},
      {KeepRule::Newest, {"/d/Photos", "/d/Photos/2019"}},
      {KeepRule::Oldest, {"/d/Backup", "/d/Backup/2019"}},
      {KeepRule::FolderOrder, {"/d/Photos", "/d/Photos/2019"}},
  };
  for (const RuleCase& c : cases) {
    const auto list = ListOf(dirs, true);
    CheckAllButOneInGroup(*list, c.Rule, {"/d/Photos"});
    EXPECT_EQ(KeptPaths(*list), c.Kept) << KeepRuleName(c.Rule);
  }
}

TEST(KeepRules, KeepOnlyTouchesOneGroup) {
  const auto list = ListOf({{1, "/a", 1}, {1, "/b", 1}, {1, "/c", 1}, {2, "/d", 1}}, false);
  list->SetChecked(3, true);
  KeepOnly(*list, 1);
  EXPECT_EQ(KeptPaths(*list), (std::vector<std::string>{"/b"}));
  EXPECT_TRUE(list->Row(3).Checked);
}

TEST(KeepRules, NamesRoundTripAndUnknownNamesFallBackToFirst) {
  for (KeepRule rule : {KeepRule::First, KeepRule::Newest, KeepRule::Oldest, KeepRule::ShortestPath,
                        KeepRule::FolderOrder})
    EXPECT_EQ(KeepRuleFromName(KeepRuleName(rule)), rule);
  EXPECT_EQ(KeepRuleFromName("bogus"), KeepRule::First);
  EXPECT_EQ(KeepRuleFromName(""), KeepRule::First);
}

}  // namespace
}  // namespace parvolane
