#include "results/result_list.h"

#include <gtest/gtest.h>

#include "engine/clone_rows.h"
#include "engine/scan_settings.h"

#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

namespace parvolane {
namespace {

constexpr int64_t MiB = 1048576;

// Writes every notification as a short word, so a test can compare the whole sequence.
class LogObserver final : public ResultListObserver {
 public:
  void BeforeReset() override { Log.push_back("before"); }
  void AfterReset() override { Log.push_back("after"); }
  void ChecksChanged(size_t first, size_t last) override {
    Log.push_back("checks " + std::to_string(first) + "-" + std::to_string(last));
  }
  void RepaintRequested() override { Log.push_back("repaint"); }
  std::vector<std::string> Log;
};

using Log = std::vector<std::string>;

ResultRow TextRow(const char* name, bool checked) {
  ResultRow row;
  row.GroupId = 1;
  row.IsFile = true;
  row.Path = std::string("/") + name;
  row.Seen.Size = 0;
  row.Checked = checked;
  return row;
}

std::vector<std::string> Paths(const ResultList& list) {
  std::vector<std::string> paths;
  for (const ResultRow& row : list.Rows())
    paths.push_back(row.Path);
  return paths;
}

std::vector<bool> Checks(const ResultList& list) {
  std::vector<bool> marks;
  for (const ResultRow& row : list.Rows())
    marks.push_back(row.Checked);
  return marks;
}

// Groups of the given sizes, listed the way a scan lists them (ids from 1).
struct FileListFixture {
  explicit FileListFixture(const std::vector<int>& groupSizes) {
    int groupNo = 1;
    for (int size : groupSizes) {
      std::vector<TFileInfo*> members;
      for (int i = 0; i < size; ++i) {
        files.push_back(std::make_unique<TFileInfo>(
            "/g" + std::to_string(groupNo) + "/f" + std::to_string(i), MiB));
        members.push_back(files.back().get());
      }
      AddFileGroupToList(list, members, MiB * size, groupNo);
    }
  }
  TFileList files;
  ResultList list{FileListColumns()};
};

// Rows hold what they stand for by value: they stay whole after the records are gone.
TEST(ResultList, FileGroupRowsTextsChecksAndData) {
  TFileList files;
  files.push_back(std::make_unique<TFileInfo>("/data/Photos/A.JPG", MiB));
  files.push_back(std::make_unique<TFileInfo>("/b.jpg", 2 * MiB));
  files.push_back(std::make_unique<TFileInfo>("/data/x/c, \"d\".jpg", MiB));
  const std::string digest = "aaf4c61ddcc5e8a2dabede0f3b482cd9aea9434d";
  files[0]->ContentHash = digest;
  files[1]->Id = FileId{7, 42};
  files[1]->MTimeNs = 1234567890123;
  ResultList list(FileListColumns());
  int groupNo = 1;
  AddFileGroupToList(list, {files[0].get(), files[1].get(), files[2].get()}, 3 * MiB, groupNo);
  files.clear();

  EXPECT_EQ(groupNo, 2);
  ASSERT_EQ(list.Groups().size(), 1u);
  EXPECT_EQ(list.Groups()[0].Id, 1);
  EXPECT_EQ(list.Groups()[0].Header, "Group 1 (3.00 MB)");
  ASSERT_EQ(list.RowCount(), 3u);
  EXPECT_EQ(RowTexts(list.Row(0)),
            (std::vector<std::string>{"1", "A.JPG", "/data/Photos", "1.00 MB"}));
  EXPECT_EQ(RowTexts(list.Row(1)), (std::vector<std::string>{"1", "b.jpg", "/", "2.00 MB"}));
  EXPECT_EQ(RowTexts(list.Row(2))[1], "c, \"d\".jpg");
  EXPECT_EQ(RowTexts(list.Row(2))[3], "1.00 MB");
  EXPECT_EQ(Checks(list), (std::vector<bool>{false, true, true}));
  EXPECT_EQ(Paths(list),
            (std::vector<std::string>{"/data/Photos/A.JPG", "/b.jpg", "/data/x/c, \"d\".jpg"}));
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(list.Row(i).GroupId, 1);
    EXPECT_TRUE(list.Row(i).IsFile);
    EXPECT_TRUE(list.Row(i).Seen.Known);
  }
  EXPECT_EQ(list.Row(0).Digest.View(), digest);
  EXPECT_TRUE(list.Row(1).Digest.Empty());
  EXPECT_EQ(list.Row(1).Seen.Id, (FileId{7, 42}));
  EXPECT_EQ(list.Row(1).Seen.Size, 2 * MiB);
  EXPECT_EQ(list.Row(1).Seen.MTimeNs, 1234567890123);
}

TEST(ResultList, DigestTextHoldsUpToASha1) {
  const std::string sha1(40, 'f');
  EXPECT_EQ(DigestText(sha1).View(), sha1);
  EXPECT_TRUE(DigestText("").Empty());
  EXPECT_TRUE(DigestText().Empty());
  EXPECT_THROW(DigestText(sha1 + "0"), std::invalid_argument);
}

TEST(ResultList, DirGroupRowsLookUpSizesExactlyAndStayUnchecked) {
  ResultList list(DirListColumns());
  const std::unordered_map<std::string, int64_t> sizes{{"/a/Photos", 2 * MiB}};
  int groupNo = 7;
  AddDirGroupToList(list, {"/a/Photos", "/b/photos"}, sizes, 4 * MiB, groupNo);
  EXPECT_EQ(groupNo, 8);
  EXPECT_EQ(list.Groups()[0].Header, "Group 7 (4.00 MB)");
  ASSERT_EQ(list.RowCount(), 2u);
  EXPECT_EQ(RowTexts(list.Row(0)), (std::vector<std::string>{"7", "/a/Photos", "2.00 MB"}));
  EXPECT_EQ(RowTexts(list.Row(1)), (std::vector<std::string>{"7", "/b/photos", "0.00 MB"}));
  EXPECT_EQ(Checks(list), (std::vector<bool>{false, false}));
  EXPECT_FALSE(list.Row(0).IsFile);
  EXPECT_EQ(Paths(list), (std::vector<std::string>{"/a/Photos", "/b/photos"}));
}

TEST(ResultList, FolderPartOfPath) {
  const struct {
    const char* path;
    const char* folder;
  } cases[] = {
      {"/a/b/f", "/a/b"}, {"/f", "/"},       {"f", ""},        {"", ""},         {"//f", "//"},
      {"/a//f", "/a//"},  {"/a/b/", "/a/b"}, {"C:\\x\\f", ""}, {"a:b/f", "a:b"}, {"/", "/"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(FolderPartOfPath(c.path), c.folder) << c.path;
}

TEST(ResultList, GroupIdsAreUniqueAndIndexesFollowRemovals) {
  ResultList list(DirListColumns());
  for (int id : {1, 2, 3})
    list.AddGroup(id, "g");
  EXPECT_THROW(list.AddGroup(2, "again"), std::invalid_argument);
  list.RemoveGroups({1});
  EXPECT_EQ(list.GroupIndexOf(1), -1);
  EXPECT_EQ(list.GroupIndexOf(2), 0);
  EXPECT_EQ(list.GroupIndexOf(3), 1);
  list.AddGroup(1, "back");
  EXPECT_EQ(list.GroupIndexOf(1), 2);
  ClearListGroups(list);
  EXPECT_TRUE(list.Groups().empty());
  EXPECT_EQ(list.GroupIndexOf(3), -1);
  list.AddGroup(3, "fresh");
  EXPECT_EQ(list.GroupIndexOf(3), 0);
}

TEST(ResultList, ClearListGroupsKeepsRows) {
  FileListFixture f({2, 2});
  ClearListGroups(f.list);
  EXPECT_TRUE(f.list.Groups().empty());
  EXPECT_EQ(f.list.RowCount(), 4u);
}

TEST(ResultList, CheckAllButOneInGroupAfterRowsWereRemoved) {
  FileListFixture f({3, 2, 1});
  CheckAll(f.list);
  EXPECT_EQ(Checks(f.list), std::vector<bool>(6, true));

  f.list.RemoveRow(0);  // the first row of group 1
  f.list.RemoveRow(2);  // the first row of group 2, which keeps one row
  CheckAllButOneInGroup(f.list);
  EXPECT_EQ(Checks(f.list), (std::vector<bool>{false, true, false, false}));

  UncheckAll(f.list);
  EXPECT_EQ(Checks(f.list), std::vector<bool>(4, false));

  ResultList empty(FileListColumns());
  CheckAllButOneInGroup(empty);
  CheckAll(empty);
  EXPECT_EQ(empty.RowCount(), 0u);
}

// Nested folder groups: the inner groups keep the member inside the folder the outer group
// keeps, whatever their own order; a group with nothing inside a kept folder keeps its first.
TEST(ResultList, CheckAllButOneInGroupKeepsInnerMembersInsideTheKeptFolder) {
  ResultList dirs(DirListColumns());
  int groupNo = 1;
  const std::unordered_map<std::string, int64_t> sizes;
  AddDirGroupToList(dirs, {"/p/Photos", "/p/Photos - Copy"}, sizes, 2, groupNo);
  AddDirGroupToList(dirs, {"/p/Photos - Copy/2019", "/p/Photos/2019"}, sizes, 1, groupNo);
  AddDirGroupToList(dirs, {"/p/Photos - Copy/2019/raw", "/p/Photos/2019/raw", "/q/raw"}, sizes, 1,
                    groupNo);
  AddDirGroupToList(dirs, {"/x", "/y"}, sizes, 1, groupNo);
  CheckAll(dirs);
  CheckAllButOneInGroup(dirs);
  EXPECT_EQ(Checks(dirs),
            (std::vector<bool>{false, true, true, false, true, false, true, false, true}));
}

TEST(ResultList, RemoveRowsAtAndRemoveGroupsKeepTheRestInOrder) {
  FileListFixture f({3, 2, 2});
  f.list.RemoveRowsAt({false, true, false, true});
  EXPECT_EQ(Paths(f.list),
            (std::vector<std::string>{"/g1/f0", "/g1/f2", "/g2/f1", "/g3/f0", "/g3/f1"}));
  EXPECT_EQ(f.list.RemoveRowsIf([](const ResultRow& row) { return row.GroupId == 2; }), 1u);
  f.list.RemoveGroups({2});
  ASSERT_EQ(f.list.Groups().size(), 2u);
  EXPECT_EQ(f.list.GroupIndexOf(1), 0);
  EXPECT_EQ(f.list.GroupIndexOf(2), -1);
  EXPECT_EQ(f.list.GroupIndexOf(3), 1);
  EXPECT_EQ(f.list.Groups()[1].Header, "Group 3 (" + FormatSizeMB(2 * MiB) + ")");
}

TEST(ResultList, RemoveCheckedRowsKeepsTheRestInOrder) {
  FileListFixture f({3, 2});
  f.list.SetChecked(2, false);
  f.list.SetChecked(4, false);
  f.list.RemoveCheckedRows();
  EXPECT_EQ(Paths(f.list), (std::vector<std::string>{"/g1/f0", "/g1/f2", "/g2/f0", "/g2/f1"}));
  EXPECT_EQ(f.list.Groups().size(), 2u);  // headers stay
  EXPECT_THROW(f.list.RemoveRow(4), std::out_of_range);
  EXPECT_THROW(f.list.SetChecked(4, true), std::out_of_range);
}

TEST(ResultListObserver, ChangesOutsideABracketAreAnnouncedOneByOne) {
  ResultList list(FileListColumns());
  LogObserver obs;
  list.SetObserver(&obs);
  list.AddGroup(1, "g");
  list.AddRow(TextRow("a", false));
  list.AddRow(TextRow("b", true));
  list.SetChecked(0, true);
  list.SetChecked(0, true);  // no change, no notice
  UncheckAll(list);
  CheckAllButOneInGroup(list);
  list.RemoveRow(0);
  list.SetGroupView(true);  // already on
  list.SetGroupView(false);
  EXPECT_EQ(obs.Log, (Log{"before", "after", "before", "after", "before", "after", "checks 0-0",
                          "checks 0-1", "checks 1-1", "before", "after", "before", "after"}));
}

TEST(ResultListObserver, ABracketIsOneResetWithoutRowNotices) {
  ResultList list(FileListColumns());
  LogObserver obs;
  list.SetObserver(&obs);
  list.BeginUpdate();
  list.BeginUpdate();
  list.AddGroup(1, "g");
  for (int i = 0; i < 3; ++i)
    list.AddRow(TextRow("a", false));
  CheckAll(list);
  list.SetChecked(0, false);
  list.EndUpdate();
  EXPECT_EQ(obs.Log, (Log{"before"}));
  list.EndUpdate();
  EXPECT_EQ(obs.Log, (Log{"before", "after", "repaint"}));
  list.EndUpdate();  // unmatched: ignored
  EXPECT_EQ(list.UpdateDepth(), 0);
  EXPECT_EQ(obs.Log.size(), 3u);
}

// What a view that rebuilds at every reset last saw of the list.
class RebuildingObserver final : public ResultListObserver {
 public:
  explicit RebuildingObserver(const ResultList& list) : FList(list) {}
  void BeforeReset() override { ++Pending; }
  void AfterReset() override {
    --Pending;
    Seen = {FList.Groups().size(), Paths(FList), FList.GroupView()};
  }
  void ChecksChanged(size_t, size_t) override { ++CheckNotices; }
  void RepaintRequested() override {}

  struct View {
    size_t Groups = 0;
    std::vector<std::string> Rows;
    bool Grouped = true;
    bool operator==(const View&) const = default;
  };
  const ResultList& FList;
  View Seen;
  int Pending = 0;
  int CheckNotices = 0;
};

// A listing in the bulk bracket: nothing is rebuilt while it runs, and afterwards a view sees
// every group and row listed, with the group display as it was before, whichever it was.
TEST(ResultListObserver, ABulkListingLeavesTheViewWithAllRowsAndItsGroupDisplay) {
  for (const bool grouped : {true, false}) {
    ResultList list(FileListColumns());
    list.SetGroupView(grouped);
    RebuildingObserver view(list);
    list.SetObserver(&view);
    TFileInfo a("/x/a", 5), b("/y/a", 5), c("/x/c", 3), d("/y/c", 3), e("/z/c", 3);
    bool saved = !grouped;
    BeginListUpdate(list, saved);
    EXPECT_EQ(saved, grouped);
    int groupNo = 1;
    AddFileGroupToList(list, {&a, &b}, 10, groupNo);
    AddFileGroupToList(list, {&c, &d, &e}, 9, groupNo);
    CheckAllButOneInGroup(list, KeepRule::ShortestPath);
    EXPECT_EQ(view.Pending, 1) << grouped;
    EXPECT_EQ(view.Seen, RebuildingObserver::View{}) << grouped;
    EndListUpdate(list, saved);

    EXPECT_EQ(list.GroupView(), grouped);
    EXPECT_EQ(list.UpdateDepth(), 0);
    EXPECT_EQ(view.Pending, 0) << grouped;
    EXPECT_EQ(view.CheckNotices, 0) << grouped;  // the reset carries the marks
    const RebuildingObserver::View expected{2, {"/x/a", "/y/a", "/x/c", "/y/c", "/z/c"}, grouped};
    EXPECT_EQ(view.Seen, expected) << grouped;
    EXPECT_EQ(Checks(list), (std::vector<bool>{false, true, false, true, true})) << grouped;
  }
}

}  // namespace
}  // namespace parvolane
