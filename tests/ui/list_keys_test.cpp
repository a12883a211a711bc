// The result lists driven as a user drives them: clicks, Space, the context menu, double
// clicks, the keep-rule choice and the folder list's Delete key.
#include <fcntl.h>
#include <sys/stat.h>
#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QClipboard>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include <map>
#include <set>

#include "support/fake_services.h"
#include "support/temp_tree.h"
#include "ui/main_form.h"
#include "ui/result_model.h"
#include "ui/result_view.h"
#include "ui/spin_field.h"

using namespace parvolane;
using parvolane::testing::FakeDialogs;
using parvolane::testing::FakeShell;
using parvolane::testing::TempTree;

namespace {

struct Window {
  TMainForm form;
  FakeDialogs* dialogs;
  FakeShell* shell;

  Window() {
    auto d = std::make_unique<FakeDialogs>();
    auto s = std::make_unique<FakeShell>();
    dialogs = d.get();
    shell = s.get();
    form.SetServices(std::move(d), std::move(s));
  }

  void AddFolder(const std::string& path) {
    dialogs->Folders.push_back(path);
    form.btnAddFolder->click();
  }

  // Compares by size, so that each size makes one group.
  void Scan() {
    form.seMinSizeMB->SetValue(0);
    form.CompareButton(CompareMode::cmSize)->setChecked(true);
    form.btnScan->click();
  }

  ResultView* view() const { return form.lvFiles; }
  const ResultList& list() { return form.State().lvFiles; }

  // Clicks the row whose file is `path`, in the given column.
  void Click(const std::string& path, Qt::KeyboardModifiers keys = {}, int column = 2) {
    const QRect cell = CellOf(path, column);
    QTest::mouseClick(view()->viewport(), Qt::LeftButton, keys, cell.center());
  }

  // Clicks a line of the view: 0 is the first group's header.
  void ClickLine(int line, Qt::KeyboardModifiers keys = {}, int column = 2) {
    const QRect cell = view()->visualRect(view()->model()->index(line, column));
    QTest::mouseClick(view()->viewport(), Qt::LeftButton, keys, cell.center());
  }

  std::string PathAt(int line) { return list().Row(*view()->Model()->ListRowAt(line)).Path; }

  QRect CellOf(const std::string& path, int column) {
    for (size_t row = 0; row < list().RowCount(); ++row) {
      if (list().Row(row).Path != path) continue;
      const int line = view()->Model()->ViewRowOf(row);
      return view()->visualRect(view()->model()->index(line, column));
    }
    qFatal("no row for %s", path.c_str());
  }

  std::set<std::string> Checked() {
    std::set<std::string> checked;
    for (const ResultRow& row : list().Rows())
      if (row.Checked) checked.insert(row.Path);
    return checked;
  }
};

void SetMTime(const std::string& path, int64_t seconds) {
  const timespec times[2] = {{seconds, 0}, {seconds, 0}};
  QVERIFY(::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0);
}

}  // namespace

class ListKeysTest : public QObject {
  Q_OBJECT

  TempTree FTree;
  std::string A1, A2, A3, B1, B2;

 private slots:
  void initTestCase() {
    A1 = FTree.FileOfSize("backup/old/a.jpg", 3000, 1);
    A2 = FTree.FileOfSize("photos/a.jpg", 3000, 1);
    A3 = FTree.FileOfSize("backup/2019/a.jpg", 3000, 1);
    B1 = FTree.FileOfSize("backup/x/b.txt", 700, 2);
    B2 = FTree.FileOfSize("photos/b.txt", 700, 2);
    SetMTime(A1, 1'600'000'000);
    SetMTime(A2, 1'500'000'000);
    SetMTime(A3, 1'700'000'000);
    SetMTime(B1, 1'500'000'000);
    SetMTime(B2, 1'400'000'000);
  }

  void afterAScanTheListHasTheFocusAndSizesReadAtAGlance() {
    Window w;
    w.form.show();
    QVERIFY(QTest::qWaitForWindowActive(&w.form));
    w.AddFolder(FTree.Root());
    w.Scan();
    QCOMPARE(w.list().Groups().size(), size_t{2});
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(w.view()));
    QCOMPARE(RowTexts(w.list().Row(0)).at(3), FormatSizeMB(3000));  // what the CSV writes
    const QModelIndex size = w.view()->model()->index(w.view()->Model()->ViewRowOf(0), 3);
    QCOMPARE(size.data().toString(), QLocale().toString(2.9, 'f', 1) + " KB");
    QCOMPARE(size.data(Qt::ToolTipRole).toString(), QString::fromStdString(w.list().Row(0).Path));
  }

  void shortSizes_data() {
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("zero") << qint64(0) << "0 B";
    QTest::newRow("bytes") << qint64(1023) << "1023 B";
    QTest::newRow("one KB") << qint64(1024) << "1.0 KB";
    QTest::newRow("MB") << qint64(5 * 1024 * 1024 + 512 * 1024) << "5.5 MB";
    QTest::newRow("hundreds") << qint64(731) * 1024 * 1024 * 1024 << "731 GB";
  }
  void shortSizes() {
    QFETCH(qint64, bytes);
    QFETCH(QString, text);
    QLocale::setDefault(QLocale::c());
    QCOMPARE(ShortSizeText(bytes), text);
  }

  void spaceTogglesEverySelectedRowWhereverItWasClicked() {
    Window w;
    w.form.show();
    QVERIFY(QTest::qWaitForWindowActive(&w.form));
    w.AddFolder(FTree.Root());
    w.Scan();
    w.form.btnUncheckAll->click();
    w.Click(A2);  // in the "Directory" cell, far from the check box
    QTest::keyClick(w.view(), Qt::Key_Space);
    QCOMPARE(w.Checked(), (std::set<std::string>{A2}));
    // Shift extends from the clicked row over the first group, Ctrl adds a row of the second.
    w.ClickLine(1, Qt::NoModifier, 1);
    w.ClickLine(3, Qt::ShiftModifier, 3);
    w.ClickLine(6, Qt::ControlModifier, 0);
    QCOMPARE(w.view()->SelectedListRows().size(), size_t{4});
    QTest::keyClick(w.view(), Qt::Key_Space);  // the current row was unchecked
    QCOMPARE(w.Checked().size(), size_t{4});
    QVERIFY(!w.Checked().contains(w.PathAt(5)));
    QTest::keyClick(w.view(), Qt::Key_Space);
    QVERIFY(w.Checked().empty());
  }

  void contextMenuActionsOnOneAndSeveralRows() {
    Window w;
    w.form.show();
    QVERIFY(QTest::qWaitForWindowActive(&w.form));
    w.AddFolder(FTree.Root());
    w.Scan();
    w.form.btnUncheckAll->click();
    w.Click(A2);  // in the "Directory" cell, far from the check box
    QMenu* menu = w.view()->ContextMenu();
    QStringList texts;
    for (QAction* action : menu->actions())
      if (!action->isSeparator()) texts << action->text();
    QCOMPARE(texts, (QStringList{"Open", "Show in folder", "Copy path", "Check selected",
                                 "Uncheck selected", "Keep this one"}));
    w.view()->actKeepThisOne->trigger();
    QCOMPARE(w.Checked(), (std::set<std::string>{A1, A3}));
    w.view()->actOpen->trigger();
    w.view()->actShowInFolder->trigger();
    QCOMPARE(w.shell->OpenedFiles, std::vector<std::string>{A2});
    QCOMPARE(w.shell->Revealed, std::vector<std::string>{A2});

    w.ClickLine(1);
    w.ClickLine(6, Qt::ShiftModifier);  // both groups; the header between is never selected
    QCOMPARE(w.view()->SelectedListRows().size(), size_t{5});
    menu = w.view()->ContextMenu();
    QVERIFY(!w.view()->actKeepThisOne->isEnabled());  // one copy of which group?
    w.view()->actCheckSelected->trigger();
    QCOMPARE(w.Checked().size(), size_t{5});
    w.view()->actUncheckSelected->trigger();
    QVERIFY(w.Checked().empty());
    w.view()->actCopyPath->trigger();
    QCOMPARE(QApplication::clipboard()->text().split('\n').size(), 5);
    QVERIFY(QApplication::clipboard()->text().contains(QString::fromStdString(B2)));
  }

  void doubleClickOpensAndAFailedOpenIsShown() {
    Window w;
    w.form.show();
    QVERIFY(QTest::qWaitForWindowActive(&w.form));
    w.AddFolder(FTree.Root());
    w.Scan();
    const QPoint at = w.CellOf(B2, 1).center();
    // A double click arrives after the press and release of its first click.
    QTest::mouseClick(w.view()->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(w.view()->viewport(), Qt::LeftButton, {}, at);
    QCOMPARE(w.shell->OpenedFiles, std::vector<std::string>{B2});
    QVERIFY(w.dialogs->History.empty());

    w.shell->OpenSucceeds = false;
    QTest::mouseDClick(w.view()->viewport(), Qt::LeftButton, {}, at);
    QCOMPARE(w.dialogs->TextsOf("error").size(), size_t{1});
    QVERIFY(w.dialogs->TextsOf("error")[0].ends_with(B2));
    w.form.Button1->click();  // "Open location" with no file manager either
    QCOMPARE(w.dialogs->TextsOf("error").size(), size_t{2});
  }

  void keepRules_data() {
    QTest::addColumn<QString>("rule");
    QTest::addColumn<QStringList>("kept");
    QTest::newRow("first found") << "first" << QStringList{};  // the walk's order: see below
    QTest::newRow("newest") << "newest" << QStringList{"backup/2019/a.jpg", "backup/x/b.txt"};
    QTest::newRow("oldest") << "oldest" << QStringList{"photos/a.jpg", "photos/b.txt"};
    QTest::newRow("shortest path")
        << "shortest-path" << QStringList{"photos/a.jpg", "photos/b.txt"};
    QTest::newRow("highest folder")
        << "folder-order" << QStringList{"photos/a.jpg", "photos/b.txt"};
  }
  void keepRules() {
    QFETCH(QString, rule);
    QFETCH(QStringList, kept);
    Window w;
    w.form.show();
    // "photos" stands above "backup" in the folder list.
    w.AddFolder(FTree.Path("photos"));
    w.AddFolder(FTree.Path("backup"));
    w.Scan();
    auto* action = w.form.btnKeepRule->menu()->findChild<QAction*>("actKeep_" + rule);
    QVERIFY(action != nullptr);
    action->trigger();
    QCOMPARE(w.form.CurrentKeepRule(), KeepRuleFromName(rule.toStdString()));
    w.form.btnSelectAllButOne->click();
    std::set<std::string> expected;
    if (kept.isEmpty()) {
      std::map<int, std::string> first;
      for (const ResultRow& row : w.list().Rows())
        first.try_emplace(row.GroupId, row.Path);
      for (const auto& [group, path] : first)
        expected.insert(path);
    }
    for (const QString& path : kept)
      expected.insert(FTree.Path(path.toStdString()));
    std::set<std::string> unchecked;
    for (const ResultRow& row : w.list().Rows())
      if (!row.Checked) unchecked.insert(row.Path);
    QCOMPARE(unchecked, expected);
  }

  void deleteKeyRemovesTheSelectedFolder() {
    Window w;
    w.form.show();
    QVERIFY(QTest::qWaitForWindowActive(&w.form));
    w.AddFolder(FTree.Path("photos"));
    w.AddFolder(FTree.Path("backup"));
    w.form.lbFolders->setFocus();
    w.form.lbFolders->setCurrentRow(0);
    QTest::keyClick(w.form.lbFolders, Qt::Key_Delete);
    QCOMPARE(w.form.lbFolders->count(), 1);
    QVERIFY(w.form.lbFolders->item(0)->text().contains("backup"));
  }
};

QTEST_MAIN(ListKeysTest)
#include "list_keys_test.moc"
