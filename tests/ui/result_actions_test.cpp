#include "ui/result_actions.h"

#include <signal.h>
#include <sys/resource.h>

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

#include "support/fake_services.h"
#include "support/temp_tree.h"

using namespace parvolane;
using parvolane::testing::FakeDialogs;
using parvolane::testing::FakeShell;
using parvolane::testing::TempTree;

Q_DECLARE_METATYPE(parvolane::ListKind)

namespace {

using Strings = std::vector<std::string>;

/// Both result lists as a scan leaves them, with a few rows that carry no path.
struct Lists {
  Lists() {
    for (const char* path : {"/d/a,1.txt", "/d/x/a,1.txt", "/e/\"q\".bin", "/e/z/\"q\".bin"})
      Records.push_back(std::make_unique<TFileInfo>(path, 7));
    Files.AddGroup(1, "Group 1 (0.00 MB)");
    Files.AddGroup(2, "Group 2 (0.00 MB)");
    AddFileRow(1, 0, false);
    AddFileRow(1, 1, true);
    Files.AddRow({1, {"1", "lost", "", "0.00 MB"}, true, nullptr, {}, {}, {}});
    AddFileRow(2, 2, false);
    AddFileRow(2, 3, true);

    Dirs.AddGroup(1, "Group 1 (1.00 MB)");
    Dirs.AddRow({1, {"1", "/p/one", "0.50 MB"}, false, nullptr, {}, {}, {}});
    Dirs.AddRow({1, {"1", "/q/one", "0.50 MB"}, true, nullptr, {}, {}, {}});
    Dirs.AddRow({1, {"1"}, true, nullptr, {}, {}, {}});
    Dirs.AddRow({1, {"1", "/r/one", "0.50 MB"}, true, nullptr, {}, {}, {}});
  }

  void AddFileRow(int group, size_t record, bool checked) {
    const TFileInfo& file = *Records[record];
    Files.AddRow(
        {group, {std::to_string(group), file.Name, "dir", "0.00 MB"}, checked, &file, {}, {}, {}});
  }

  ResultList& Of(ListKind kind) { return kind == ListKind::Files ? Files : Dirs; }

  std::vector<std::unique_ptr<TFileInfo>> Records;
  ResultList Files{FileListColumns()};
  ResultList Dirs{DirListColumns()};
};

Strings RowKeys(const ResultList& list) {
  Strings keys;
  for (const ResultRow& row : list.Rows())
    keys.push_back((row.Texts.size() > 1 ? row.Texts[1] : "") + (row.Checked ? "+" : "-"));
  return keys;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

}  // namespace

class ResultActionsTest final : public QObject {
  Q_OBJECT

 private slots:
  void deleteOutcome_data();
  void deleteOutcome();
  void deleteWithNothingChecked();
  void exportWritesTheListThroughTheSaveDialog();
  void exportFailureIsShownAndKeepsThePreviousFile();
  void addFolder_data();
  void addFolder();
  void openLocation();
  void aboutShowsTheCurrentYear();
};

void ResultActionsTest::deleteOutcome_data() {
  QTest::addColumn<ListKind>("kind");
  QTest::addColumn<bool>("answer");
  QTest::addColumn<bool>("trashSucceeds");
  QTest::addColumn<QStringList>("messages");
  QTest::addColumn<bool>("removed");

  for (const ListKind kind : {ListKind::Files, ListKind::Dirs}) {
    const bool files = kind == ListKind::Files;
    const QString what = files ? "files" : "dirs";
    QTest::addRow("%s yes", qPrintable(what))
        << kind << true << true
        << QStringList{files ? "Files were moved to the Recycle Bin."
                             : "Directories were moved to the Recycle Bin."}
        << true;
    QTest::addRow("%s no", qPrintable(what)) << kind << false << true << QStringList{} << false;
    QTest::addRow("%s shell fails", qPrintable(what))
        << kind << true << false
        << QStringList{files ? "Failed to delete some files."
                             : "Failed to delete some directories."}
        << false;
  }
}

void ResultActionsTest::deleteOutcome() {
  QFETCH(ListKind, kind);
  QFETCH(bool, answer);
  QFETCH(bool, trashSucceeds);
  QFETCH(QStringList, messages);
  QFETCH(bool, removed);
  Lists lists;
  FakeDialogs dialogs;
  dialogs.AnswerYes = answer;
  FakeShell shell;
  shell.TrashSucceeds = trashSucceeds;
  ResultList& list = lists.Of(kind);
  ResultList& other = lists.Of(kind == ListKind::Files ? ListKind::Dirs : ListKind::Files);
  const Strings rowsBefore = RowKeys(list);
  const Strings otherBefore = RowKeys(other);

  DeleteCheckedToTrash(list, kind, dialogs, shell);

  // File rows send the record's own path; rows without a path are passed over.
  const bool files = kind == ListKind::Files;
  QCOMPARE(dialogs.TextsOf("question"),
           Strings{files ? "Move 2 files to Recycle Bin?" : "Move 2 directories to Recycle Bin?"});
  const Strings sent =
      files ? Strings{"/d/x/a,1.txt", "/e/z/\"q\".bin"} : Strings{"/q/one", "/r/one"};
  QCOMPARE(shell.TrashRequests, answer ? std::vector<Strings>{sent} : std::vector<Strings>{});
  Strings shown;
  for (const QString& m : messages)
    shown.push_back(m.toStdString());
  QCOMPARE(dialogs.TextsOf("message"), shown);
  const Strings kept = files ? Strings{"a,1.txt-", "\"q\".bin-"} : Strings{"/p/one-"};
  QCOMPARE(RowKeys(list), removed ? kept : rowsBefore);
  QCOMPARE(list.Groups().size(), files ? size_t{2} : size_t{1});
  QCOMPARE(list.Groups().front().Header, files ? "Group 1 (0.00 MB)" : "Group 1 (1.00 MB)");
  QCOMPARE(RowKeys(other), otherBefore);
}

void ResultActionsTest::deleteWithNothingChecked() {
  for (const ListKind kind : {ListKind::Files, ListKind::Dirs}) {
    Lists lists;
    ResultList& list = lists.Of(kind);
    list.SetAllChecked(false);
    // A checked row that carries no path counts as nothing.
    list.AddRow({1, {"1"}, true, nullptr, {}, {}, {}});
    FakeDialogs dialogs;
    FakeShell shell;
    DeleteCheckedToTrash(list, kind, dialogs, shell);
    QCOMPARE(dialogs.TextsOf("message"),
             Strings{kind == ListKind::Files ? "No files selected." : "No directories selected."});
    QVERIFY(dialogs.TextsOf("question").empty());
    QVERIFY(shell.TrashRequests.empty());
    QCOMPARE(list.Row(list.RowCount() - 1).Checked, true);
  }
}

void ResultActionsTest::exportWritesTheListThroughTheSaveDialog() {
  TempTree tree;
  Lists lists;
  FakeDialogs dialogs;
  ExportListWithDialog(lists.Files, ListKind::Files, dialogs);  // cancelled
  dialogs.SaveFiles.push_back(tree.Path("files.csv"));
  ExportListWithDialog(lists.Files, ListKind::Files, dialogs);
  dialogs.SaveFiles.push_back(tree.Path("dirs.csv"));
  ExportListWithDialog(lists.Dirs, ListKind::Dirs, dialogs);

  QCOMPARE(dialogs.ProposedNames,
           (Strings{"duplicate_files.csv", "duplicate_files.csv", "duplicate_directories.csv"}));
  QVERIFY(dialogs.TextsOf("message").empty());
  QCOMPARE(ReadAll(tree.Path("files.csv")),
           std::string("\xEF\xBB\xBFGroup,File name,Directory,File size (MB)\r\n"
                       "\"1\",\"a,1.txt\",\"dir\",\"0.00 MB\"\r\n"
                       "\"1\",\"a,1.txt\",\"dir\",\"0.00 MB\"\r\n"
                       "\"1\",\"lost\",\"\",\"0.00 MB\"\r\n"
                       "\"2\",\"\"\"q\"\".bin\",\"dir\",\"0.00 MB\"\r\n"
                       "\"2\",\"\"\"q\"\".bin\",\"dir\",\"0.00 MB\"\r\n"));
  QCOMPARE(ReadAll(tree.Path("dirs.csv")), std::string("\xEF\xBB\xBFGroup,Directory,Size\r\n"
                                                       "\"1\",\"/p/one\",\"0.50 MB\"\r\n"
                                                       "\"1\",\"/q/one\",\"0.50 MB\"\r\n"
                                                       "\"1\"\r\n"
                                                       "\"1\",\"/r/one\",\"0.50 MB\"\r\n"));
}

void ResultActionsTest::exportFailureIsShownAndKeepsThePreviousFile() {
  TempTree tree;
  Lists lists;
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
  QCOMPARE(ReadAll(previous), std::string("previous export"));
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
    files.AddRow({1, {"1", "n", "d", "s"}, false, file, {}, {}, {}});
  ResultList dirs(DirListColumns());
  dirs.AddGroup(1, "Group 1");
  for (const std::string& cell : {folder, tree.Path("gone"), present})
    dirs.AddRow({1, {"1", cell, "0.00 MB"}, false, nullptr, {}, {}, {}});
  dirs.AddRow({1, {"1"}, false, nullptr, {}, {}, {}});
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
