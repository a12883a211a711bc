#include "engine/tree_check.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "engine/scan_driver.h"
#include "support/recording_reporter.h"
#include "support/temp_tree.h"

namespace parvolane {
namespace {

using testing::TempTree;

// Two copies of a tree whose names test every part of a signature line: letter case, a line
// break and a backslash inside names, a link, an empty folder and a deeper level.
void MakeCopy(TempTree& tree, const std::string& top) {
  tree.File(top + "/Readme.TXT", "readme");
  tree.File(top + "/odd\r\nname\\x", "odd");
  tree.File(top + "/sub/deeper/data.bin", std::string(5000, 'd'));
  tree.Dir(top + "/sub/empty");
  tree.Symlink(top + "/sub/link", "../Readme.TXT");
}

ScanState& ScanFolders(ScanState& state, const TempTree& tree) {
  testing::RecordingReporter reporter(state);
  reporter.Settings.Folders = {tree.Root() + "/"};
  reporter.Settings.FindFileClones = false;
  reporter.Settings.FindFolderClones = true;
  ScanDriver(state, reporter).btnScanClick();
  return state;
}

// The delete confirms a folder by signing its tree again; that must agree with the scan
// that listed it, or every folder would look changed and nothing could be moved.
TEST(TreeCheck, AnUnchangedFolderSignsAsTheScanSignedItAndAChangedOneDoesNot) {
  TempTree tree;
  MakeCopy(tree, "a");
  MakeCopy(tree, "b");
  ScanState state;
  ScanFolders(state, tree);
  ASSERT_GE(state.lvDirs.RowCount(), 2u);
  for (const ResultRow& row : state.lvDirs.Rows()) {
    ASSERT_FALSE(row.Digest.View().empty()) << row.Path;
    EXPECT_EQ(SignFolderTree(row.Path).Signature, row.Digest.View()) << row.Path;
    EXPECT_EQ(CheckFolder(row.Path, row.Seen, row.Digest.View()), EntryState::Unchanged)
        << row.Path;
  }
  const ResultRow& first = state.lvDirs.Row(0);
  tree.File(first.Path.substr(tree.Root().size() + 1) + "/sub/deeper/new.txt", "new");
  EXPECT_EQ(CheckFolder(first.Path, first.Seen, first.Digest.View()), EntryState::Changed);
  ::rename(first.Path.c_str(), (first.Path + ".moved").c_str());
  EXPECT_EQ(CheckFolder(first.Path, first.Seen, first.Digest.View()), EntryState::Gone);
}

}  // namespace
}  // namespace parvolane
