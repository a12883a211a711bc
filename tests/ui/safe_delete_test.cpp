// The click sequences that used to trash the last copy of something while reporting success,
// played on the window against the real trash: at least one copy of every content stays
// outside the trash, and where one would not, the user is asked first.
#include <unistd.h>

#include <QCheckBox>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/desktop_services.h"
#include "support/fake_services.h"
#include "support/temp_tree.h"
#include "ui/main_form.h"
#include "ui/spin_field.h"

using namespace parvolane;
using parvolane::testing::FakeDialogs;
using parvolane::testing::ReadFileText;
using parvolane::testing::TempTree;
namespace fs = std::filesystem;

namespace {

using Strings = std::vector<std::string>;

/// A window with scripted dialogs and the real trash in a private data home.
struct Window {
  TMainForm form;
  FakeDialogs* dialogs = nullptr;
  TempTree home;

  Window() {
    ::setenv("XDG_DATA_HOME", home.Root().c_str(), 1);
    auto d = std::make_unique<FakeDialogs>();
    dialogs = d.get();
    form.SetServices(std::move(d), CreateDesktopShell());
    form.seMinSizeMB->SetValue(0);
    form.chkDirDuplicates->setChecked(true);
  }
  ~Window() { ::unsetenv("XDG_DATA_HOME"); }

  void Scan(const std::string& folder) {
    dialogs->Folders.push_back(folder);
    form.btnAddFolder->click();
    form.btnScan->click();
  }
  void ShowFiles() { form.PageControl1->setCurrentWidget(form.tsFiles); }
  void ShowDirs() { form.PageControl1->setCurrentWidget(form.tsDirs); }

  /// Checks exactly the rows of the list shown whose path is one of these.
  void CheckOnly(const Strings& paths) {
    ResultList& list = form.ActiveList();
    for (size_t i = 0; i < list.RowCount(); ++i)
      list.SetChecked(i, std::find(paths.begin(), paths.end(), list.Row(i).Path) != paths.end());
  }

  Strings Paths(const ResultList& list) const {
    Strings paths;
    for (const ResultRow& row : list.Rows())
      paths.push_back(row.Path);
    return paths;
  }
  std::string LastMessage() const {
    const Strings messages = dialogs->TextsOf("message");
    return messages.empty() ? std::string() : messages.back();
  }
  size_t Trashed() const {
    std::error_code ec;
    return static_cast<size_t>(std::distance(fs::directory_iterator(home.Path("Trash/files"), ec),
                                             fs::directory_iterator()));
  }
};

/// a/same.txt, b/same.txt and c/same.txt with the same bytes, scanned for file clones only.
void ScanThreeCopies(TempTree& tree, Window& w) {
  for (const char* top : {"a", "b", "c"})
    tree.File(std::string(top) + "/same.txt", "same bytes");
  w.form.chkDirDuplicates->setChecked(false);
  w.Scan(tree.Root());
}

}  // namespace

class SafeDeleteTest final : public QObject {
  Q_OBJECT

 private slots:
  void folderThenFilesKeepsTheLastCopy();
  void filesThenFoldersKeepsTheCompleteFolder();
  void folderChangedOutsideIsNoCopy();
  void nestedFolderGroupsKeepMembersInsideTheKeptOne();
  void nestedFolderGroupsCheckedByHandAreAsked();
  void changesWhileAskingAreAskedAgain();
  void undoPutsEverythingBack();
};

// Folder Clones first: the kept file rows that lay in the moved folder leave the file list, so
// the second delete cannot take the other copy.
void SafeDeleteTest::folderThenFilesKeepsTheLastCopy() {
  TempTree tree;
  for (const char* top : {"Photos", "Photos backup"}) {
    tree.File(std::string(top) + "/2019/IMG_2019004.jpg", "the beach at dawn");
    tree.File(std::string(top) + "/2019/notes.txt", "sunny");
  }
  Window w;
  w.Scan(tree.Root());
  // The file list keeps the first copy of each file and checks the other.
  const ResultList& files = w.form.State().lvFiles;
  QCOMPARE(files.RowCount(), size_t{4});
  std::string keptFolder;
  for (const ResultRow& row : files.Rows())
    if (!row.Checked) keptFolder = FolderPartOfPath(row.Path);
  w.ShowDirs();
  w.CheckOnly({keptFolder});
  w.form.btnDeleteSelected->click();
  QCOMPARE(w.dialogs->TextsOf("question"), Strings{"Move 1 directories to Recycle Bin?"});
  QCOMPARE(w.LastMessage(), std::string("Directories were moved to the Recycle Bin."));
  QVERIFY(files.Rows().empty());  // every file group lost its kept row

  w.ShowFiles();
  w.form.btnDeleteSelected->click();
  QCOMPARE(w.LastMessage(), std::string("No files selected."));
  const std::string other = keptFolder == tree.Path("Photos/2019") ? "Photos backup" : "Photos";
  QCOMPARE(ReadFileText(tree.Path(other + "/2019/IMG_2019004.jpg")),
           std::string("the beach at dawn"));
}

// Both backup copies of a photo go from File Clones: the backup folders no longer match the
// original, so they leave Folder Clones, and the original is never offered there.
void SafeDeleteTest::filesThenFoldersKeepsTheCompleteFolder() {
  TempTree tree;
  for (const char* top : {"Backup A", "Backup B", "Photos"}) {
    tree.File(std::string(top) + "/beach.jpg", "waves");
    tree.File(std::string(top) + "/index.txt", "one photo");
  }
  Window w;
  w.Scan(tree.Root());
  w.ShowFiles();
  w.CheckOnly({tree.Path("Backup A/beach.jpg"), tree.Path("Backup B/beach.jpg")});
  w.form.btnDeleteSelected->click();
  QCOMPARE(w.LastMessage(), std::string("Files were moved to the Recycle Bin."));
  QVERIFY(w.form.State().lvDirs.Rows().empty());

  w.ShowDirs();
  w.form.btnSelectAllButOne->click();
  w.form.btnDeleteSelected->click();
  QCOMPARE(w.LastMessage(), std::string("No directories selected."));
  QCOMPARE(ReadFileText(tree.Path("Photos/beach.jpg")), std::string("waves"));
  QCOMPARE(w.Trashed(), size_t{2});
}

// The same loss made outside the program: the disk check finds the kept folder changed and
// asks; keeping one copy keeps the complete folder.
void SafeDeleteTest::folderChangedOutsideIsNoCopy() {
  TempTree tree;
  for (const char* top : {"Backup", "Photos"}) {
    tree.File(std::string(top) + "/beach.jpg", "waves");
    tree.File(std::string(top) + "/index.txt", "one photo");
  }
  Window w;
  w.form.chkFileDuplicates->setChecked(false);
  w.Scan(tree.Root());
  w.ShowDirs();
  w.form.btnSelectAllButOne->click();
  QCOMPARE(w.Paths(w.form.State().lvDirs), (Strings{tree.Path("Backup"), tree.Path("Photos")}));
  fs::remove(tree.Path("Backup/beach.jpg"));
  w.form.btnDeleteSelected->click();
  const Strings asked = w.dialogs->TextsOf("choice");
  QCOMPARE(asked.size(), size_t{1});
  QCOMPARE(asked[0],
           "Move 1 directories to Recycle Bin?\n\n1 groups (1 checked entries) would "
           "keep no copy outside the Recycle Bin:\n  Folder group 1: " +
               tree.Path("Backup") +
               "\n\n\"Keep one copy\" moves everything else and keeps one copy of "
               "each of these groups; \"Move all\" moves them all anyway.");
  QCOMPARE(w.LastMessage(),
           std::string("Nothing was moved: every checked entry is the last copy of its group."));
  QVERIFY(fs::exists(tree.Path("Photos/beach.jpg")));
  QCOMPARE(w.Trashed(), size_t{0});
}

// " " sorts before "/", so the inner group lists the copy's folder first; keeping the outer
// group's first member keeps the inner member inside it too.
void SafeDeleteTest::nestedFolderGroupsKeepMembersInsideTheKeptOne() {
  TempTree tree;
  for (const char* top : {"Photos", "Photos - Copy"}) {
    tree.File(std::string(top) + "/2019/beach.jpg", "waves");
    tree.File(std::string(top) + "/index.txt", "one photo");
  }
  Window w;
  w.form.chkFileDuplicates->setChecked(false);
  w.Scan(tree.Root());
  w.ShowDirs();
  w.form.btnSelectAllButOne->click();
  w.form.btnDeleteSelected->click();
  QCOMPARE(w.dialogs->TextsOf("choice"), Strings{});
  QCOMPARE(w.LastMessage(), std::string("Directories were moved to the Recycle Bin."));
  QCOMPARE(ReadFileText(tree.Path("Photos/2019/beach.jpg")), std::string("waves"));
  QVERIFY(!fs::exists(tree.Path("Photos - Copy")));
}

void SafeDeleteTest::nestedFolderGroupsCheckedByHandAreAsked() {
  TempTree tree;
  for (const char* top : {"Photos", "Photos - Copy"}) {
    tree.File(std::string(top) + "/2019/beach.jpg", "waves");
    tree.File(std::string(top) + "/index.txt", "one photo");
  }
  Window w;
  w.form.chkFileDuplicates->setChecked(false);
  w.Scan(tree.Root());
  w.ShowDirs();
  w.CheckOnly({tree.Path("Photos - Copy"), tree.Path("Photos/2019")});
  w.form.btnDeleteSelected->click();
  const Strings asked = w.dialogs->TextsOf("choice");
  QCOMPARE(asked.size(), size_t{1});
  // The outer kept folder holds a folder that goes, so it is no copy either.
  QVERIFY(
      asked[0].starts_with("Move 2 directories to Recycle Bin?\n\n2 groups (3 checked "
                           "entries) would keep no copy outside the Recycle Bin:"));
  // Keeping one copy keeps the inner folder and moves the other.
  QCOMPARE(w.LastMessage(), std::string("Directories were moved to the Recycle Bin."));
  QVERIFY(fs::exists(tree.Path("Photos/2019/beach.jpg")) ||
          fs::exists(tree.Path("Photos - Copy/2019/beach.jpg")));
}

// The disk changes while the question is open: the copy that was to stay, or one that was to
// go. The answer moves nothing yet; the question comes again as the disk now is, and the
// changed file stays where it is.
void SafeDeleteTest::changesWhileAskingAreAskedAgain() {
  for (const bool keptOneChanges : {true, false}) {
    TempTree tree;
    Window w;
    ScanThreeCopies(tree, w);
    std::string kept;
    std::string checked;
    for (const ResultRow& row : w.form.State().lvFiles.Rows())
      (row.Checked ? checked : kept) = row.Path;
    const std::string changed = keptOneChanges ? kept : checked;
    w.dialogs->OnShown = [&changed, done = false](const FakeDialogs::Shown&) mutable {
      if (!std::exchange(done, true)) std::ofstream(changed, std::ios::app) << ", edited";
    };
    w.form.btnDeleteSelected->click();

    const Strings first = w.dialogs->TextsOf("question");
    QVERIFY(!first.empty());
    QCOMPARE(first[0], std::string("Move 2 files to Recycle Bin?"));
    if (keptOneChanges) {
      const Strings again = w.dialogs->TextsOf("choice");
      QCOMPARE(again.size(), size_t{1});
      QVERIFY2(again[0].starts_with("Move 2 files to Recycle Bin?\n\n1 groups (2 checked "
                                    "entries) would keep no copy outside the Recycle Bin:"),
               again[0].c_str());
    } else {
      QCOMPARE(first.size(), size_t{2});
      QCOMPARE(first[1],
               "Move 1 files to Recycle Bin?\n\n1 checked files changed or "
               "disappeared since the scan and are left out:\n  " +
                   changed + " (changed)");
    }
    QCOMPARE(w.LastMessage(), std::string("Files were moved to the Recycle Bin."));
    QCOMPARE(w.Trashed(), size_t{1});
    QCOMPARE(ReadFileText(changed), std::string("same bytes, edited"));
    size_t copies = 0;
    for (const char* top : {"a", "b", "c"}) {
      const std::string path = tree.Path(std::string(top) + "/same.txt");
      copies += fs::exists(path) && ReadFileText(path) == "same bytes";
    }
    QCOMPARE(copies, size_t{1});
  }
}

void SafeDeleteTest::undoPutsEverythingBack() {
  TempTree tree;
  Window w;
  ScanThreeCopies(tree, w);
  w.form.show();
  QVERIFY(!w.form.btnUndo->isVisible());
  w.form.btnDeleteSelected->click();
  QCOMPARE(w.LastMessage(), std::string("Files were moved to the Recycle Bin."));
  QVERIFY(w.form.btnUndo->isVisible());
  QCOMPARE(w.Trashed(), size_t{2});
  const size_t rows = w.form.State().lvFiles.RowCount();
  w.form.btnUndo->click();
  QCOMPARE(w.LastMessage(), std::string("Restored 2 of 2 items from the Recycle Bin."));
  QVERIFY(!w.form.btnUndo->isVisible());
  for (const char* top : {"a", "b", "c"})
    QCOMPARE(ReadFileText(tree.Path(std::string(top) + "/same.txt")), std::string("same bytes"));
  QCOMPARE(w.Trashed(), size_t{0});
  QVERIFY(fs::is_empty(w.home.Path("Trash/info")));
  QCOMPARE(w.form.State().lvFiles.RowCount(), rows);  // not rebuilt
}

QTEST_MAIN(SafeDeleteTest)
#include "safe_delete_test.moc"
