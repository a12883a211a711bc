#include "ui/result_actions.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include <QDate>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "engine/clone_rows.h"
#include "engine/tree_check.h"
#include "platform/desktop_services.h"
#include "support/fake_services.h"
#include "support/loop_volume.h"
#include "support/temp_tree.h"

using namespace parvolane;
using parvolane::testing::FakeDialogs;
using parvolane::testing::FakeShell;
using parvolane::testing::LoopVolume;
using parvolane::testing::ReadFileText;
using parvolane::testing::TempTree;

Q_DECLARE_METATYPE(parvolane::ListKind)

namespace {

using Strings = std::vector<std::string>;

/// A record as the folder walk makes it, with what it saw of the file.
std::unique_ptr<TFileInfo> Record(const std::string& path, const std::string& digest) {
  auto file = std::make_unique<TFileInfo>(path);
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    file->Id = FileId{st.st_dev, st.st_ino};
    file->MTimeNs = MTimeNsOf(st);
  }
  file->ContentHash = digest;
  return file;
}

/// Both result lists as a scan leaves them, over real files and folders, with a few rows
/// that carry no path. File group 1 has three members (one checked), file group 2 two (one
/// checked); the folder group three members (two checked).
struct Lists {
  explicit Lists(const std::string& digest = "d1") {
    const char* files[] = {"d/a,1.txt", "d/x/a,1.txt", "d/y/a,1.txt", "e/\"q\".bin",
                           "e/z/\"q\".bin"};
    for (const char* file : files) {
      const bool second = std::string(file).starts_with("e/");
      Records.push_back(Record(Tree.File(file, second ? "qq" : "aaa"),
                               second && !digest.empty() ? digest + "b" : digest));
    }
    int groupNo = 1;
    AddFileGroupToList(Files, {Records[0].get(), Records[1].get(), Records[2].get()}, 9, groupNo);
    AddFileGroupToList(Files, {Records[3].get(), Records[4].get()}, 4, groupNo);
    Files.SetChecked(2, false);
    Files.AddRow({1, true, true, {}, {}, EntrySnapshot{{}, 0, 0, false}});  // carries no path

    for (const char* dir : {"p/one", "q/one", "r/one"})
      Tree.File(std::string(dir) + "/f.txt", "folder");
    groupNo = 1;
    AddDirGroupToList(Dirs, {Tree.Path("p/one"), Tree.Path("q/one"), Tree.Path("r/one")}, {},
                      1 << 20, groupNo);
    Dirs.SetChecked(1, true);
    Dirs.SetChecked(2, true);
    Dirs.AddRow({1, true, false, {}, {}, {}});
  }

  ResultList& Of(ListKind kind) { return kind == ListKind::Files ? Files : Dirs; }
  ResultLists Both() { return {Files, Dirs}; }

  TempTree Tree;
  std::vector<std::unique_ptr<TFileInfo>> Records;
  ResultList Files{FileListColumns()};
  ResultList Dirs{DirListColumns()};
};

/// Lists whose rows are given text by text, as a writer of those texts sees them.
struct TextLists {
  TextLists() {
    for (const char* path : {"/d/a,1.txt", "/d/x/a,1.txt", "/e/\"q\".bin", "/e/z/\"q\".bin"})
      Records.push_back(std::make_unique<TFileInfo>(path, 7));
    Files.AddGroup(1, "Group 1 (0.00 MB)");
    Files.AddGroup(2, "Group 2 (0.00 MB)");
    AddFileRow(1, 0, false);
    AddFileRow(1, 1, true);
    Files.AddRow({1, true, true, {}, {}, EntrySnapshot{{}, 0, 0, false}});  // carries no path
    AddFileRow(2, 2, false);
    AddFileRow(2, 3, true);
    Dirs.AddGroup(1, "Group 1 (1.00 MB)");
    for (const char* dir : {"/p/one", "/q/one", "", "/r/one"}) {
      if (*dir == '\0')
        Dirs.AddRow({1, true, false, {}, {}, EntrySnapshot{{}, 0, 0, false}});
      else
        Dirs.AddRow({1, *dir != 'p', false, {}, dir, EntrySnapshot{{}, 1 << 19, 0, false}});
    }
  }
  void AddFileRow(int group, size_t record, bool checked) {
    const TFileInfo& file = *Records[record];
    Files.AddRow({group, checked, true, file.ContentHash, file.FullPath,
                  EntrySnapshot{file.Id, file.Size, file.MTimeNs, true}});
  }
  std::vector<std::unique_ptr<TFileInfo>> Records;
  ResultList Files{FileListColumns()};
  ResultList Dirs{DirListColumns()};
};

Strings RowKeys(const ResultList& list) {
  Strings keys;
  for (const ResultRow& row : list.Rows())
    keys.push_back(CellText(row, 1) + (row.Checked ? "+" : "-"));
  return keys;
}

Strings GroupHeaders(const ResultList& list) {
  Strings headers;
  for (const ResultGroup& group : list.Groups())
    headers.push_back(group.Header);
  return headers;
}

}  // namespace

Q_DECLARE_METATYPE(std::vector<std::string>)

class ResultActionsTest final : public QObject {
  Q_OBJECT

 private slots:
  void deleteOutcome_data();
  void deleteOutcome();
  void deleteWithNothingChecked();
  void changedSinceTheScan_data();
  void changedSinceTheScan();
  void atRiskAnswers_data();
  void atRiskAnswers();
  void filesNotComparedByContentAreCounted();
  void changedFolderTreeIsLeftOut();
  void aGroupOfTheOtherListCanBeAtRisk();
  void undoPutsBackAndRefusesTakenNames();
  void aReadOnlyVolumeIsNamedWithTheReason();
  void exportWritesTheListThroughTheSaveDialog();
  void exportFailureIsShownAndKeepsThePreviousFile();
  void addFolder_data();
  void addFolder();
  void openLocation();
  void aboutShowsTheCurrentYear();
};

enum class Shell { Moves, Fails, MovesFirstOnly };
Q_DECLARE_METATYPE(Shell)

void ResultActionsTest::deleteOutcome_data() {
  QTest::addColumn<ListKind>("kind");
  QTest::addColumn<bool>("answer");
  QTest::addColumn<Shell>("shell");
  QTest::addColumn<QString>("message");
  QTest::addColumn<QStringList>("rows");

  const QStringList files{"a,1.txt-", "a,1.txt+", "a,1.txt-", "\"q\".bin-", "\"q\".bin+", "+"};
  QTest::newRow("files yes") << ListKind::Files << true << Shell::Moves
                             << "Files were moved to the Recycle Bin."
                             << QStringList{"a,1.txt-", "a,1.txt-", "+"};
  QTest::newRow("files no") << ListKind::Files << false << Shell::Moves << QString() << files;
  QTest::newRow("files shell fails")
      << ListKind::Files << true << Shell::Fails << "Failed to delete some files." << files;
  // What did move leaves the list, so that a retry acts on what is still there.
  QTest::newRow("files partly moved")
      << ListKind::Files << true << Shell::MovesFirstOnly << "Failed to delete some files."
      << QStringList{"a,1.txt-", "a,1.txt-", "\"q\".bin-", "\"q\".bin+", "+"};
  const QStringList dirs{"p/one-", "q/one+", "r/one+", "+"};
  QTest::newRow("dirs yes") << ListKind::Dirs << true << Shell::Moves
                            << "Directories were moved to the Recycle Bin." << QStringList{};
  QTest::newRow("dirs no") << ListKind::Dirs << false << Shell::Moves << QString() << dirs;
  QTest::newRow("dirs shell fails")
      << ListKind::Dirs << true << Shell::Fails << "Failed to delete some directories." << dirs;
  QTest::newRow("dirs partly moved")
      << ListKind::Dirs << true << Shell::MovesFirstOnly << "Failed to delete some directories."
      << QStringList{"p/one-", "r/one+", "+"};
}

// Row keys with the tree's root taken off folder paths.
QStringList ShortKeys(const ResultList& list, const std::string& root) {
  QStringList keys;
  for (std::string key : RowKeys(list)) {
    if (key.starts_with(root + "/")) key.erase(0, root.size() + 1);
    keys << QString::fromStdString(key);
  }
  return keys;
}

void ResultActionsTest::deleteOutcome() {
  QFETCH(ListKind, kind);
  QFETCH(bool, answer);
  QFETCH(Shell, shell);
  QFETCH(QString, message);
  QFETCH(QStringList, rows);
  Lists lists;
  FakeDialogs dialogs;
  dialogs.AnswerYes = answer;
  FakeShell fake;
  fake.TrashSucceeds = shell == Shell::Moves;
  if (shell == Shell::MovesFirstOnly) {
    fake.OnTrash = [](const Strings& paths) {
      return TrashResult{{{paths[0], paths[0], "/t/files/x", "/t/info/x.trashinfo"}}, false, {}};
    };
  }
  ResultList& other = lists.Of(kind == ListKind::Files ? ListKind::Dirs : ListKind::Files);
  const Strings otherBefore = RowKeys(other);

  const std::optional<DeleteReceipt> receipt =
      DeleteCheckedToTrash(lists.Both(), kind, dialogs, fake);

  // File rows send the record's own path; rows without a path are passed over.
  const bool files = kind == ListKind::Files;
  QCOMPARE(dialogs.TextsOf("question"),
           Strings{files ? "Move 2 files to Recycle Bin?" : "Move 2 directories to Recycle Bin?"});
  QVERIFY(dialogs.TextsOf("choice").empty());
  const Strings sent =
      files ? Strings{lists.Tree.Path("d/x/a,1.txt"), lists.Tree.Path("e/z/\"q\".bin")}
            : Strings{lists.Tree.Path("q/one"), lists.Tree.Path("r/one")};
  QCOMPARE(fake.TrashRequests, answer ? std::vector<Strings>{sent} : std::vector<Strings>{});
  QCOMPARE(dialogs.TextsOf("message"),
           message.isEmpty() ? Strings{} : Strings{message.toStdString()});
  QCOMPARE(ShortKeys(lists.Of(kind), lists.Tree.Root()), rows);
  QCOMPARE(RowKeys(other), otherBefore);
  QCOMPARE(receipt.has_value(), answer && shell != Shell::Fails);
  if (files && answer && shell == Shell::Moves)
    QCOMPARE(GroupHeaders(lists.Files), Strings{"Group 1 (0.00 MB)"});
}

void ResultActionsTest::deleteWithNothingChecked() {
  for (const ListKind kind : {ListKind::Files, ListKind::Dirs}) {
    Lists lists;
    ResultList& list = lists.Of(kind);
    list.SetAllChecked(false);
    // A checked row that carries no path counts as nothing.
    list.AddRow({1, true, false, {}, {}, {}});
    FakeDialogs dialogs;
    FakeShell shell;
    DeleteCheckedToTrash(lists.Both(), kind, dialogs, shell);
    QCOMPARE(dialogs.TextsOf("message"),
             Strings{kind == ListKind::Files ? "No files selected." : "No directories selected."});
    QVERIFY(dialogs.TextsOf("question").empty());
    QVERIFY(shell.TrashRequests.empty());
    QCOMPARE(list.Row(list.RowCount() - 1).Checked, true);
  }
}

// What happens to a file between the scan and the delete.
enum class Change { Replaced, Grown, Touched, Linked, Removed };
Q_DECLARE_METATYPE(Change)

void ChangeFile(const std::string& path, Change change) {
  switch (change) {
    case Change::Replaced: {
      const std::string fresh = path + ".new";
      std::ofstream(fresh) << "aaa";  // same size, same bytes, another file
      std::filesystem::rename(fresh, path);
      break;
    }
    case Change::Grown:
      std::ofstream(path, std::ios::app) << "more";
      break;
    case Change::Touched: {
      const timespec times[2] = {{0, UTIME_OMIT}, {12345, 0}};
      ::utimensat(AT_FDCWD, path.c_str(), times, 0);
      break;
    }
    case Change::Linked:
      std::filesystem::remove(path);
      std::filesystem::create_symlink(path + ".twin", path);
      break;
    case Change::Removed:
      std::filesystem::remove(path);
      break;
  }
}

void ResultActionsTest::changedSinceTheScan_data() {
  QTest::addColumn<Change>("change");
  QTest::newRow("replaced") << Change::Replaced;
  QTest::newRow("grown") << Change::Grown;
  QTest::newRow("touched") << Change::Touched;
  QTest::newRow("turned into a link") << Change::Linked;
  QTest::newRow("gone") << Change::Removed;
}

void ResultActionsTest::changedSinceTheScan() {
  QFETCH(Change, change);
  const std::string state = change == Change::Removed ? " (gone)" : " (changed)";
  {
    // A checked file that changed is left out, said so, and its row leaves the list.
    Lists lists;
    const std::string checked = lists.Tree.Path("d/x/a,1.txt");
    ChangeFile(checked, change);
    FakeDialogs dialogs;
    FakeShell shell;
    DeleteCheckedToTrash(lists.Both(), ListKind::Files, dialogs, shell);
    QCOMPARE(dialogs.TextsOf("question"),
             Strings{"Move 1 files to Recycle Bin?\n\n1 checked files changed or disappeared "
                     "since the scan and are left out:\n  " +
                     checked + state});
    QCOMPARE(shell.TrashRequests, std::vector<Strings>{{lists.Tree.Path("e/z/\"q\".bin")}});
    QCOMPARE(RowKeys(lists.Files), (Strings{"a,1.txt-", "a,1.txt-", "+"}));
  }
  {
    // A kept copy that changed is no copy: the group would keep none.
    Lists lists;
    const std::string kept = lists.Tree.Path("e/\"q\".bin");
    ChangeFile(kept, change);
    FakeDialogs dialogs;
    dialogs.Choices.push_back(2);  // cancel
    FakeShell shell;
    DeleteCheckedToTrash(lists.Both(), ListKind::Files, dialogs, shell);
    QCOMPARE(dialogs.TextsOf("choice"),
             Strings{"Move 2 files to Recycle Bin?\n\n1 groups (1 checked entries) would keep no "
                     "copy outside the Recycle Bin:\n  File group 2: " +
                     kept +
                     "\n\n\"Keep one copy\" moves everything else and keeps one copy of each of "
                     "these groups; \"Move all\" moves them all anyway."});
    QCOMPARE(dialogs.ChoiceButtons.back(), (Strings{"Keep one copy", "Move all", "Cancel"}));
    QCOMPARE(dialogs.ChoiceDefaults.back(), size_t{0});
    QVERIFY(shell.TrashRequests.empty());
    QCOMPARE(RowKeys(lists.Files).size(), size_t{6});
  }
}

void ResultActionsTest::atRiskAnswers_data() {
  QTest::addColumn<int>("answer");
  QTest::addColumn<Strings>("sent");
  QTest::newRow("keep one copy") << 0 << Strings{"d/x/a,1.txt", "d/y/a,1.txt", "e/z/\"q\".bin"};
  QTest::newRow("move all") << 1
                            << Strings{"d/a,1.txt", "d/x/a,1.txt", "d/y/a,1.txt", "e/\"q\".bin",
                                       "e/z/\"q\".bin"};
  QTest::newRow("cancel") << 2 << Strings{};
  QTest::newRow("closed") << -1 << Strings{};
}

void ResultActionsTest::atRiskAnswers() {
  QFETCH(int, answer);
  QFETCH(Strings, sent);
  Lists lists;
  CheckAll(lists.Files);
  FakeDialogs dialogs;
  dialogs.Choices.push_back(answer < 0 ? std::nullopt : std::optional<size_t>(answer));
  FakeShell shell;
  DeleteCheckedToTrash(lists.Both(), ListKind::Files, dialogs, shell);
  QCOMPARE(dialogs.TextsOf("choice").size(), size_t{1});
  QVERIFY(dialogs.TextsOf("choice")[0].starts_with(
      "Move 5 files to Recycle Bin?\n\n2 groups (5 checked entries) would keep no copy"));
  Strings expected;
  for (const std::string& path : sent)
    expected.push_back(lists.Tree.Path(path));
  QCOMPARE(shell.TrashRequests,
           expected.empty() ? std::vector<Strings>{} : std::vector<Strings>{expected});
}

void ResultActionsTest::filesNotComparedByContentAreCounted() {
  Lists lists("");  // grouped by name or size: no digests
  FakeDialogs dialogs;
  FakeShell shell;
  DeleteCheckedToTrash(lists.Both(), ListKind::Files, dialogs, shell);
  QCOMPARE(dialogs.TextsOf("question"),
           Strings{"Move 2 files to Recycle Bin?\n\n2 of these files were matched by name or size "
                   "only: their contents were not compared."});
}

void ResultActionsTest::changedFolderTreeIsLeftOut() {
  Lists lists;
  // What the scan saw of each folder, then a file added to one checked folder.
  ResultList dirs(DirListColumns());
  FolderSnapshots seen;
  std::vector<std::string> paths;
  for (const char* dir : {"p/one", "q/one", "r/one"}) {
    const std::string path = lists.Tree.Path(dir);
    struct stat st {};
    ::lstat(path.c_str(), &st);
    seen[path] = {EntrySnapshot{{st.st_dev, st.st_ino}, 6, MTimeNsOf(st), true},
                  SignFolderTree(path).Signature};
    paths.push_back(path);
  }
  int groupNo = 1;
  AddDirGroupToList(dirs, paths, {}, 18, groupNo, &seen);
  CheckAllButOneInGroup(dirs);
  lists.Tree.File("r/one/late.txt", "added after the scan");
  FakeDialogs dialogs;
  FakeShell shell;
  DeleteCheckedToTrash({lists.Files, dirs}, ListKind::Dirs, dialogs, shell);
  QCOMPARE(dialogs.TextsOf("question"),
           Strings{"Move 1 directories to Recycle Bin?\n\n1 checked directories changed or "
                   "disappeared since the scan and are left out:\n  " +
                   paths[2] + " (changed)"});
  QCOMPARE(shell.TrashRequests, std::vector<Strings>{{paths[1]}});
  QVERIFY(dirs.Rows().empty());  // p/one alone is no group
}

// Folders match by names and sizes, files by content: two folders that each have a twin can
// still hold the only two copies of a content, and only the file list knows.
void ResultActionsTest::aGroupOfTheOtherListCanBeAtRisk() {
  TempTree tree;
  const std::pair<const char*, const char*> files[] = {
      {"F/a", "xx"}, {"G/a", "yy"}, {"K/a", "xx"}, {"L/a", "zz"}};
  std::vector<std::unique_ptr<TFileInfo>> records;
  for (const auto& [path, bytes] : files)
    records.push_back(Record(tree.File(path, bytes), "same"));
  ResultList fileList(FileListColumns());
  ResultList dirList(DirListColumns());
  int groupNo = 1;
  AddFileGroupToList(fileList, {records[0].get(), records[2].get()}, 4, groupNo);
  groupNo = 1;
  AddDirGroupToList(dirList, {tree.Path("G"), tree.Path("F")}, {}, 4, groupNo);
  AddDirGroupToList(dirList, {tree.Path("L"), tree.Path("K")}, {}, 4, groupNo);
  CheckAllButOneInGroup(dirList);
  FakeDialogs dialogs;
  FakeShell shell;
  DeleteCheckedToTrash({fileList, dirList}, ListKind::Dirs, dialogs, shell);
  QCOMPARE(dialogs.TextsOf("choice").size(), size_t{1});
  QVERIFY(dialogs.TextsOf("choice")[0].find("1 groups (2 checked entries) would keep no copy "
                                            "outside the Recycle Bin:\n  File group 1: " +
                                            tree.Path("F/a")) != std::string::npos);
  // Keeping one copy keeps the folder that holds the group's first member.
  QCOMPARE(shell.TrashRequests, std::vector<Strings>{{tree.Path("K")}});
  QVERIFY(fileList.Rows().empty());
}

void ResultActionsTest::undoPutsBackAndRefusesTakenNames() {
  Lists lists;
  TempTree home;
  ::setenv("XDG_DATA_HOME", home.Root().c_str(), 1);
  const std::unique_ptr<ShellService> desktop = CreateDesktopShell();
  FakeDialogs dialogs;
  std::optional<DeleteReceipt> receipt =
      DeleteCheckedToTrash(lists.Both(), ListKind::Files, dialogs, *desktop);
  QVERIFY(receipt.has_value());
  QCOMPARE(receipt->Moved.size(), size_t{2});
  const std::string first = lists.Tree.Path("d/x/a,1.txt");
  const std::string second = lists.Tree.Path("e/z/\"q\".bin");
  QVERIFY(!std::filesystem::exists(first) && !std::filesystem::exists(second));
  lists.Tree.File("e/z/\"q\".bin", "a new file with the old name");
  const Strings rowsBefore = RowKeys(lists.Files);

  UndoDelete(*receipt, dialogs, *desktop);
  ::unsetenv("XDG_DATA_HOME");

  QCOMPARE(ReadFileText(first), std::string("aaa"));
  QCOMPARE(ReadFileText(second), std::string("a new file with the old name"));
  const bool firstFirst = receipt->Moved[0].Requested == first;
  const TrashedItem& back = receipt->Moved[firstFirst ? 0 : 1];
  const TrashedItem& left = receipt->Moved[firstFirst ? 1 : 0];
  QCOMPARE(dialogs.TextsOf("message").back(),
           "Restored 1 of 2 items from the Recycle Bin.\n\nNot restored, left in the Recycle "
           "Bin:\n  " +
               left.Original + " (the name is taken)");
  // The record of what came back is gone; the refused item keeps its entry and record.
  QVERIFY(!std::filesystem::exists(back.InfoPath) && !std::filesystem::exists(back.TrashPath));
  QVERIFY(std::filesystem::exists(left.InfoPath) && ReadFileText(left.TrashPath) == "qq");
  QCOMPARE(RowKeys(lists.Files), rowsBefore);  // the lists are not rebuilt
}

// A stick that went read-only: the delete and the undo say which paths stayed and why.
void ResultActionsTest::aReadOnlyVolumeIsNamedWithTheReason() {
  LoopVolume volume;
  if (!volume.Ready()) QSKIP("mounting a volume of its own needs root and a loop device");
  TempTree home;
  ::setenv("XDG_DATA_HOME", home.Root().c_str(), 1);
  std::vector<std::unique_ptr<TFileInfo>> records;
  std::vector<TFileInfo*> group;
  for (int i = 0; i < 8; ++i) {
    records.push_back(Record(volume.File("copies/" + std::to_string(i) + " 'x'.jpg", "same"), "d"));
    group.push_back(records.back().get());
  }
  ResultList files(FileListColumns());
  ResultList dirs(DirListColumns());
  int groupNo = 1;
  AddFileGroupToList(files, group, 4, groupNo);
  CheckAllButOneInGroup(files);
  Strings checked;
  for (const ResultRow& row : files.Rows())
    if (row.Checked) checked.push_back(row.Path);
  const std::unique_ptr<ShellService> desktop = CreateDesktopShell();
  FakeDialogs dialogs;
  const std::string reason = std::strerror(EROFS);

  QVERIFY(volume.RemountReadOnly());
  QVERIFY(!DeleteCheckedToTrash({files, dirs}, ListKind::Files, dialogs, *desktop));
  std::string expected = "Failed to delete some files.\n";
  for (size_t i = 0; i < 5; ++i)
    expected += "\ncannot move '" + checked[i] + "' to the trash: " + reason;
  expected += "\n... and 2 more\n\nNothing was moved.";
  QCOMPARE(dialogs.TextsOf("message"), Strings{expected});
  QCOMPARE(files.RowCount(), size_t{8});
  QVERIFY(!std::filesystem::exists(volume.Path(".Trash-" + std::to_string(::getuid()))));

  QVERIFY(volume.RemountWritable());
  const std::optional<DeleteReceipt> receipt =
      DeleteCheckedToTrash({files, dirs}, ListKind::Files, dialogs, *desktop);
  QVERIFY(receipt.has_value());
  QCOMPARE(dialogs.TextsOf("message").back(), std::string("Files were moved to the Recycle Bin."));
  QVERIFY(volume.RemountReadOnly());
  UndoDelete(*receipt, dialogs, *desktop);
  ::unsetenv("XDG_DATA_HOME");
  QVERIFY(dialogs.TextsOf("message").back().starts_with(
      "Restored 0 of 7 items from the Recycle Bin.\n\nNot restored, left in the Recycle Bin:\n  " +
      receipt->Moved.back().Original + " (" + reason + ")\n"));
}

void ResultActionsTest::exportWritesTheListThroughTheSaveDialog() {
  TempTree tree;
  TextLists lists;
  FakeDialogs dialogs;
  ExportListWithDialog(lists.Files, ListKind::Files, dialogs);  // cancelled
  dialogs.SaveFiles.push_back(tree.Path("files.csv"));
  ExportListWithDialog(lists.Files, ListKind::Files, dialogs);
  dialogs.SaveFiles.push_back(tree.Path("dirs.csv"));
  ExportListWithDialog(lists.Dirs, ListKind::Dirs, dialogs);

  QCOMPARE(dialogs.ProposedNames,
           (Strings{"duplicate_files.csv", "duplicate_files.csv", "duplicate_directories.csv"}));
  QVERIFY(dialogs.TextsOf("message").empty());
  QCOMPARE(ReadFileText(tree.Path("files.csv")),
           std::string("\xEF\xBB\xBFGroup,File name,Directory,File size (MB)\r\n"
                       "\"1\",\"a,1.txt\",\"/d\",\"0.00 MB\"\r\n"
                       "\"1\",\"a,1.txt\",\"/d/x\",\"0.00 MB\"\r\n"
                       "\"1\",\"\",\"\",\"0.00 MB\"\r\n"
                       "\"2\",\"\"\"q\"\".bin\",\"/e\",\"0.00 MB\"\r\n"
                       "\"2\",\"\"\"q\"\".bin\",\"/e/z\",\"0.00 MB\"\r\n"));
  QCOMPARE(ReadFileText(tree.Path("dirs.csv")), std::string("\xEF\xBB\xBFGroup,Directory,Size\r\n"
                                                            "\"1\",\"/p/one\",\"0.50 MB\"\r\n"
                                                            "\"1\",\"/q/one\",\"0.50 MB\"\r\n"
                                                            "\"1\",\"\",\"0.00 MB\"\r\n"
                                                            "\"1\",\"/r/one\",\"0.50 MB\"\r\n"));
}

void ResultActionsTest::exportFailureIsShownAndKeepsThePreviousFile() {
  TempTree tree;
  TextLists lists;
  FakeDialogs dialogs;
  dialogs.SaveFiles.push_back(tree.Path("no such folder/x.csv"));
  ExportListWithDialog(lists.Dirs, ListKind::Dirs, dialogs);
  QCOMPARE(dialogs.TextsOf("message").size(), size_t{1});
  QVERIFY(dialogs.TextsOf("message")[0].find(strerror(ENOENT)) != std::string::npos);

  // A size limit makes the write itself fail, whoever runs the test (root included).
  const std::string previous = tree.File("previous.csv", "previous export");
  dialogs.SaveFiles.push_back(previous);
  rlimit saved{};
  QVERIFY(::getrlimit(RLIMIT_FSIZE, &saved) == 0);
  const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  rlimit tiny = saved;
  tiny.rlim_cur = 16;
  QVERIFY(::setrlimit(RLIMIT_FSIZE, &tiny) == 0);
  ExportListWithDialog(lists.Dirs, ListKind::Dirs, dialogs);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, oldHandler);

  QCOMPARE(dialogs.TextsOf("message").size(), size_t{2});
  QVERIFY(dialogs.TextsOf("message")[1].find(strerror(EFBIG)) != std::string::npos);
  QCOMPARE(ReadFileText(previous), std::string("previous export"));
  QCOMPARE(std::distance(std::filesystem::directory_iterator(tree.Root()),
                         std::filesystem::directory_iterator()),
           std::ptrdiff_t{1});
}

void ResultActionsTest::addFolder_data() {
  QTest::addColumn<QStringList>("listed");
  QTest::addColumn<QString>("lastParent");
  QTest::addColumn<QString>("picked");  // "-" for a cancelled picker
  QTest::addColumn<QStringList>("expected");
  QTest::addColumn<QString>("expectedParent");

  const QStringList photos{"/data/photos/"};
  QTest::newRow("new") << QStringList{} << ""
                       << "/data/photos" << photos << "/data";
  QTest::newRow("trailing separator") << QStringList{} << "/x"
                                      << "/data/photos/" << photos << "/data";
  QTest::newRow("duplicate still moves the start") << photos << "/elsewhere"
                                                   << "/data/photos" << photos << "/data";
  QTest::newRow("dots resolved") << photos << ""
                                 << "/data/./music/../photos" << photos << "/data";
  QTest::newRow("letter case differs")
      << photos << ""
      << "/data/Photos" << QStringList{"/data/photos/", "/data/Photos/"} << "/data";
  QTest::newRow("below the root") << photos << ""
                                  << "/data" << QStringList{"/data/photos/", "/data/"} << "/";
  QTest::newRow("bare root") << photos << "/data"
                             << "/" << QStringList{"/data/photos/", "/"} << "/";
  QTest::newRow("cancelled") << photos << "/kept"
                             << "-" << photos << "/kept";
}

void ResultActionsTest::addFolder() {
  QFETCH(QStringList, listed);
  QFETCH(QString, lastParent);
  QFETCH(QString, picked);
  QFETCH(QStringList, expected);
  QFETCH(QString, expectedParent);
  Strings folders;
  for (const QString& f : listed)
    folders.push_back(f.toStdString());
  std::string parent = lastParent.toStdString();
  FakeDialogs dialogs;
  if (picked != "-") dialogs.Folders.push_back(picked.toStdString());

  const bool changed = AddFolderFromPicker(folders, parent, dialogs);

  QCOMPARE(dialogs.PickerStarts, Strings{lastParent.toStdString()});
  Strings want;
  for (const QString& f : expected)
    want.push_back(f.toStdString());
  QCOMPARE(folders, want);
  QCOMPARE(changed, expected.size() != listed.size());
  QCOMPARE(parent, expectedParent.toStdString());
}

void ResultActionsTest::openLocation() {
  TempTree tree;
  const std::string present = tree.File("here/a \"b\".txt", "x");
  const std::string folder = tree.Dir("folder");
  TFileInfo presentFile(present, 1);
  TFileInfo goneFile(tree.Path("gone.txt"), 1);
  TFileInfo folderAsFile(folder, 1);
  ResultList files(FileListColumns());
  files.AddGroup(1, "Group 1");
  const TFileInfo* const rowRefs[] = {&presentFile, &goneFile, &folderAsFile, nullptr};
  for (const TFileInfo* file : rowRefs)
    files.AddRow({1, false, file != nullptr, {}, file != nullptr ? file->FullPath : "", {}});
  ResultList dirs(DirListColumns());
  dirs.AddGroup(1, "Group 1");
  for (const std::string& cell : {folder, tree.Path("gone"), present})
    dirs.AddRow({1, false, false, {}, cell, {}});
  dirs.AddRow({1, false, false, {}, {}, {}});
  ResultList empty(DirListColumns());

  FakeDialogs dialogs;
  FakeShell shell;
  using Row = std::optional<size_t>;
  OpenLocation(files, ListKind::Files, Row(), dialogs, shell);
  OpenLocation(empty, ListKind::Dirs, Row(), dialogs, shell);
  for (size_t row = 0; row < 4; ++row)
    OpenLocation(files, ListKind::Files, row, dialogs, shell);
  for (size_t row = 0; row < 4; ++row)
    OpenLocation(dirs, ListKind::Dirs, row, dialogs, shell);

  QCOMPARE(shell.Revealed, Strings{present});
  QCOMPARE(shell.OpenedFolders, Strings{folder});
  QCOMPARE(
      dialogs.TextsOf("message"),
      (Strings{"Please select an item first.", "Please select an item first.",
               "File does not exist: " + tree.Path("gone.txt"), "File does not exist: " + folder,
               "No file path available for the selected item.",
               "Directory does not exist: " + tree.Path("gone"),
               "Directory does not exist: " + present, "Directory does not exist: "}));
}

void ResultActionsTest::aboutShowsTheCurrentYear() {
  FakeDialogs dialogs;
  ShowAbout(dialogs);
  const std::string year = std::to_string(QDate::currentDate().year());
  QCOMPARE(dialogs.TextsOf("information"),
           Strings{"Parvolane\nVersion: 1.0\n\nWebsite: " PARVOLANE_WEB_HOST
                   "\n\nThis program is provided as is, without warranty of any kind. Files it "
                   "moves to the trash can be restored from there.\n\nCopyright (c) " +
                   year + " The Parvolane developers."});
  QVERIFY(dialogs.TextsOf("message").empty());
}

QTEST_GUILESS_MAIN(ResultActionsTest)
#include "result_actions_test.moc"
