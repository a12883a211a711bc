#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCursor>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSet>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <set>
#include <thread>

#include "engine/clone_rows.h"
#include "engine/scan_settings.h"
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

// A window with scripted dialogs, the way a user would see it.
struct Window {
  TMainForm form;
  FakeDialogs* dialogs;
  FakeShell* shell;
  QStringList statuses;

  Window() {
    auto d = std::make_unique<FakeDialogs>();
    auto s = std::make_unique<FakeShell>();
    dialogs = d.get();
    shell = s.get();
    form.SetServices(std::move(d), std::move(s));
    QObject::connect(&form, &TMainForm::statusReported,
                     [this](const QString& text) { statuses << text; });
  }

  void AddFolder(const std::string& path) {
    dialogs->Folders.push_back(path);
    form.btnAddFolder->click();
  }

  /// Runs `action` (once) at the first moment the status line starts with `prefix` during a
  /// scan; the timer fires inside the scan's event pumping.
  void WhenStatus(const QString& prefix, std::function<void()> action) {
    auto* watch = new QTimer(&form);
    watch->setInterval(0);
    QObject::connect(watch, &QTimer::timeout, watch, [this, watch, prefix, action] {
      if (!form.lblStatus->text().startsWith(prefix)) return;
      watch->stop();
      action();
    });
    watch->start();
  }

  int CountStatus(const QString& text) const { return int(statuses.count(text)); }
};

std::string Bytes(int64_t n) {
  return FormatSizeMB(n);
}

// Files of equal size in pairs, one size per group, so that comparing by size lists `groups`
// groups without hashing anything.
void PairsOfSizes(TempTree& tree, int groups) {
  for (int i = 0; i < groups; ++i) {
    tree.FileOfSize("p/a" + std::to_string(i), 100 + i, 1);
    tree.FileOfSize("q/b" + std::to_string(i), 100 + i, 2);
  }
}

// The list rows grouped as the file list shows them: group id -> (name, checked) in row order.
std::map<int, std::vector<std::pair<std::string, bool>>> RowsByGroup(const ResultList& list) {
  std::map<int, std::vector<std::pair<std::string, bool>>> groups;
  for (const ResultRow& row : list.Rows())
    groups[row.GroupId].emplace_back(RowTexts(row).at(1), row.Checked);
  return groups;
}

std::vector<bool> Checks(const ResultList& list) {
  std::vector<bool> checks;
  for (const ResultRow& row : list.Rows())
    checks.push_back(row.Checked);
  return checks;
}

// A group of radio buttons is one stop: Tab enters it at one button, the arrows move inside.
QString StopName(QWidget* c) {
  if (c == nullptr) return QStringLiteral("(no way back)");
  return qobject_cast<QRadioButton*>(c) != nullptr ? c->parentWidget()->objectName()
                                                   : c->objectName();
}

// What the user can reach with Tab: shown, enabled, taking the focus by Tab itself.
QSet<QString> TabStops(QWidget& window) {
  QSet<QString> stops;
  for (QWidget* c : window.findChildren<QWidget*>()) {
    if (c->isVisibleTo(&window) && c->isEnabled() && (c->focusPolicy() & Qt::TabFocus) &&
        c->focusProxy() == nullptr) {
      stops.insert(StopName(c));
    }
  }
  return stops;
}

// The stop nearest the top left corner, where a reader starts.
QString FirstStop(QWidget& window, const QSet<QString>& stops) {
  const auto place = [&](const QString& name) {
    const QPoint at = window.findChild<QWidget*>(name)->mapTo(&window, QPoint());
    return std::pair(at.y() / 40, at.x());  // rows of controls, not single pixels
  };
  return *std::min_element(stops.begin(), stops.end(),
                           [&](const QString& a, const QString& b) { return place(a) < place(b); });
}

// Presses Tab (with `modifiers`) from the focused control until the focus comes back to it,
// at most `limit` times; returns the stops met, the start first.
QStringList PressRound(Qt::KeyboardModifiers modifiers, int limit) {
  QWidget* const start = QApplication::focusWidget();
  QStringList met{StopName(start)};
  for (int i = 0; i < limit && start != nullptr; ++i) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab, modifiers);
    if (QApplication::focusWidget() == start) return met;
    met << StopName(QApplication::focusWidget());
  }
  met << StopName(nullptr);
  return met;
}

// The panels a round crosses, a run of stops in one panel counted once.
QStringList PanelsCrossed(QWidget& window, const QStringList& round) {
  const QStringList known = {"PanelTop", "PageControl1", "PanelBottom"};
  QStringList panels;
  for (const QString& name : round) {
    QString panel = QStringLiteral("(none)");
    for (QWidget* p = window.findChild<QWidget*>(name); p != nullptr; p = p->parentWidget()) {
      if (!known.contains(p->objectName())) continue;
      panel = p->objectName();
      break;
    }
    if (panels.isEmpty() || panels.back() != panel) panels << panel;
  }
  return panels;
}

// The controls whose order the window's layout promises, in that order.
const QStringList kLaidOutOrder = {"lbFolders",
                                   "btnAddFolder",
                                   "btnRemoveFolder",
                                   "btnScan",
                                   "edMasks",
                                   "seMinSizeMB",
                                   "seMaxGroups",
                                   "seMinGroupSize",
                                   "rgCompare",
                                   "chkFileDuplicates",
                                   "chkDirDuplicates",
                                   "chkParallelHash",
                                   "btnSelectAllButOne",
                                   "btnCheckAll",
                                   "btnUncheckAll",
                                   "btnDeleteSelected",
                                   "btnExportFiles",
                                   "btnExportDirs",
                                   "btnStop",
                                   "Button1",
                                   "Button2"};

// The controls of kLaidOutOrder in the order a round met them, and in the promised order.
std::pair<QStringList, QStringList> LaidOutOrderMet(const QStringList& round) {
  QStringList met;
  for (const QString& name : round)
    if (kLaidOutOrder.contains(name)) met << name;
  QStringList promised = met;
  std::sort(promised.begin(), promised.end(), [](const QString& a, const QString& b) {
    return kLaidOutOrder.indexOf(a) < kLaidOutOrder.indexOf(b);
  });
  return {met, promised};
}

void ExpectTabRounds(QWidget& window) {
  const QSet<QString> stops = TabStops(window);
  window.findChild<QWidget*>(FirstStop(window, stops))->setFocus(Qt::OtherFocusReason);
  const int limit = 2 * int(stops.size()) + 2;
  const QStringList forward = PressRound(Qt::NoModifier, limit);
  QStringList backward = PressRound(Qt::ShiftModifier, limit);
  std::reverse(backward.begin() + 1, backward.end());
  QCOMPARE(backward.join(' '), forward.join(' '));
  const QSet<QString> met(forward.begin(), forward.end());
  QVERIFY2(met.size() == forward.size(), qPrintable("met twice in " + forward.join(' ')));
  QCOMPARE(QStringList((stops - met).values()), QStringList());  // none left out ...
  QCOMPARE(QStringList((met - stops).values()), QStringList());  // ... and none that is no stop
  QCOMPARE(PanelsCrossed(window, forward),
           (QStringList{"PanelTop", "PageControl1", "PanelBottom"}));
  const auto [laidOut, promised] = LaidOutOrderMet(forward);
  QCOMPARE(laidOut, promised);
}

}  // namespace

class MainFormTest : public QObject {
  Q_OBJECT

 private slots:
  void startValuesAndCaptions_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("property");
    QTest::addColumn<QVariant>("expected");
    const auto row = [](const char* name, const char* property, const QVariant& value) {
      QTest::addRow("%s.%s", name, property) << name << QByteArray(property) << value;
    };
    row("Label1", "text", "Folders to scan:");
    row("btnAddFolder", "text", "Add folder...");
    row("btnRemoveFolder", "text", "Remove selected");
    row("chkFileDuplicates", "text", "Find file clones");
    row("chkFileDuplicates", "checked", true);
    row("chkDirDuplicates", "text", "Find folder clones");
    row("chkDirDuplicates", "checked", false);
    row("rgCompare", "title", "Compare files by");
    row("rgCompareItem0", "text", "Name");
    row("rgCompareItem1", "text", "Size");
    row("rgCompareItem2", "text", "Name && Size");  // shown as "Name & Size"
    row("rgCompareItem3", "text", "Content (SHA-1)");
    row("rgCompareItem3", "checked", true);
    row("Label2", "text", "File masks (CSV):");
    row("edMasks", "text", "*.*");
    row("Label3", "text", "Min size (MB):");
    row("seMinSizeMB", "text", "1");
    row("chkParallelHash", "text", "Parallel hashing");
    row("chkParallelHash", "checked", true);
    row("chkCollapseNested", "text", "Hide nested folder groups");
    row("chkCollapseNested", "checked", false);
    row("chkCollapseNested", "toolTip", "Hide folder groups that lie inside a listed group");
    row("Label4", "text", "Max groups (0 = all):");
    row("seMaxGroups", "text", "100");
    row("Label5", "text", "Min group size:");
    row("seMinGroupSize", "text", "2");
    row("btnScan", "text", "Scan");
    row("btnSelectAllButOne", "text", "Check all but one in group");
    row("btnCheckAll", "text", "Check all");
    row("btnUncheckAll", "text", "Uncheck all");
    row("Button1", "text", "Open location");
    row("btnDeleteSelected", "text", "Delete checked to Recycle Bin");
    row("btnExportFiles", "text", "Export Files CSV...");
    row("btnExportDirs", "text", "Export Dirs CSV...");
    row("Button2", "text", "About...");
    row("Button2", "toolTip", "About program...");
    row("lblStatus", "text", "Ready");
    row("btnStop", "text", "Stop");
    row("btnStop", "enabled", false);
    row("ProgressBar", "value", 0);
    row("ProgressBar", "minimum", 0);
    row("ProgressBar", "maximum", 100);
  }
  void startValuesAndCaptions() {
    QFETCH(QString, name);
    QFETCH(QByteArray, property);
    QFETCH(QVariant, expected);
    Window w;
    w.form.show();
    auto* widget = w.form.findChild<QWidget*>(name);
    QVERIFY2(widget != nullptr, qPrintable(name));
    QCOMPARE(widget->property(property.constData()), expected);
  }

  void windowAtFirstDisplay() {
    Window w;
    w.form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w.form));
    QCOMPARE(w.form.windowTitle(), QStringLiteral("Parvolane 1.0 (" PARVOLANE_WEB_HOST ")"));
    QCOMPARE(w.form.centralWidget()->size(), QSize(1178, 709));
    QCOMPARE(w.form.PageControl1->size(), QSize(1178, 498));
    QCOMPARE(w.form.PageControl1->currentWidget(), w.form.tsFiles);
    QCOMPARE(w.form.PageControl1->tabText(0), QStringLiteral("File Clones"));
    QCOMPARE(w.form.PageControl1->tabText(1), QStringLiteral("Folder Clones"));
    QCOMPARE(w.form.ActiveKind(), ListKind::Files);
    const auto captions = [](ResultView* view) {
      QStringList c;
      for (int i = 0; i < view->model()->columnCount(); ++i)
        c << QString("%1 %2")
                 .arg(view->model()->headerData(i, Qt::Horizontal).toString())
                 .arg(view->columnWidth(i));
      return c;
    };
    QCOMPARE(captions(w.form.lvFiles),
             (QStringList{"Group 60", "File name 300", "Directory 520", "File size (MB) 100"}));
    QCOMPARE(captions(w.form.lvDirs), (QStringList{"Group 60", "Directory 740", "Size 160"}));
    const ScanSettings s = w.form.CurrentSettings();
    QVERIFY(s.Folders.empty());
    QCOMPARE(s.Mode, CompareMode::cmContent);
    QCOMPARE(s.MinSizeMB, 1);
    QCOMPARE(s.MaxGroups, 100);
    QCOMPARE(s.MinGroupSize, 2);
  }

  void wideningMovesRightAnchoredControlsAndStretchesLists() {
    Window w;
    w.form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w.form));
    const auto geometryOf = [&w] {
      std::map<QString, QRect> g;
      for (QWidget* c : w.form.findChildren<QWidget*>())
        if (!c->objectName().isEmpty()) g[c->objectName()] = c->geometry();
      return g;
    };
    const auto before = geometryOf();
    w.form.resize(w.form.width() + 200, w.form.height());
    QTRY_COMPARE(w.form.centralWidget()->width(), 1378);
    const auto after = geometryOf();
    for (const char* name : {"btnAddFolder", "rgCompare", "edMasks", "seMinGroupSize", "btnScan",
                             "btnExportFiles", "btnExportDirs", "Button2"}) {
      QCOMPARE(after.at(name).topLeft(), before.at(name).topLeft() + QPoint(200, 0));
      QCOMPARE(after.at(name).size(), before.at(name).size());
    }
    for (const char* name : {"Label1", "btnSelectAllButOne", "btnDeleteSelected"})
      QCOMPARE(after.at(name), before.at(name));
    for (const char* name : {"lbFolders", "PageControl1", "Panel1"})
      QCOMPARE(after.at(name).width(), before.at(name).width() + 200);
    QCOMPARE(after.at("btnStop").x(), before.at("btnStop").x() + 200);
  }

  // Tab is pressed for real, from the first control, until the focus comes back to it: every
  // control that takes the focus is met once per round, a panel is crossed in one go from top
  // to bottom, Shift+Tab walks the same round backwards, and the controls of the window's
  // layout keep their promised order. Once at rest after a scan (the list buttons enabled)
  // and once during a scan (Stop enabled).
  void tabVisitsEveryControlOnceInOrder_data() {
    QTest::addColumn<bool>("duringScan");
    QTest::newRow("after a scan") << false;
    QTest::newRow("during a scan") << true;
  }
  void tabVisitsEveryControlOnceInOrder() {
    QFETCH(bool, duringScan);
    TempTree tree;
    PairsOfSizes(tree, 120);
    Window w;
    w.form.show();
    QVERIFY(QTest::qWaitForWindowActive(&w.form));
    w.AddFolder(tree.Root());
    w.form.lbFolders->setCurrentRow(0);
    w.form.seMinSizeMB->SetValue(0);
    w.form.rgCompareItems->button(int(CompareMode::cmSize))->setChecked(true);
    bool checked = false;
    const auto check = [&] {
      ExpectTabRounds(w.form);
      checked = true;
    };
    if (duringScan) w.WhenStatus("Scanning", check);
    w.form.btnScan->click();
    if (!duringScan) check();
    QVERIFY(checked);
  }

  void contentScanListsFileClonesCheckedAllButFirst() {
    TempTree tree;
    const std::string a = std::string(4000, 'a');
    tree.File("one/x.bin", a);
    tree.File("two/x.bin", a);
    tree.File("three/renamed.bin", a);
    tree.File("one/y.bin", std::string(5000, 'b'));
    tree.File("two/y.bin", std::string(5000, 'b'));
    tree.File("two/other.bin", std::string(4000, 'c'));  // same size as the first, not equal
    Window w;
    w.AddFolder(tree.Root());
    w.form.seMinSizeMB->SetValue(0);
    w.form.btnScan->click();

    QCOMPARE(w.dialogs->History.size(), size_t{0});
    QCOMPARE(w.form.lblStatus->text(), QStringLiteral("  Done."));
    const ResultList& files = w.form.State().lvFiles;
    QCOMPARE(files.Groups().size(), size_t{2});
    QCOMPARE(files.Groups()[0].Header, "Group 1 (" + Bytes(12000) + ")");
    QCOMPARE(files.Groups()[1].Header, "Group 2 (" + Bytes(10000) + ")");
    const auto groups = RowsByGroup(files);
    std::multiset<std::string> names;
    for (const auto& [name, checked] : groups.at(1))
      names.insert(name);
    QCOMPARE(names, (std::multiset<std::string>{"renamed.bin", "x.bin", "x.bin"}));
    for (const auto& [id, rows] : groups) {
      for (size_t i = 0; i < rows.size(); ++i)
        QCOMPARE(rows[i].second, i > 0);
    }
    QCOMPARE(w.form.lvFiles->model()->rowCount(), 7);  // two headers and five rows
  }

  void scanOutcomes_data() {
    QTest::addColumn<QString>("stopWhen");  // empty: no stop
    QTest::addColumn<QString>("finalStatus");
    QTest::newRow("ran through") << QString() << "  Done.";
    QTest::newRow("stop while listing") << "Listing file groups"
                                        << "Cancelled";
    QTest::newRow("stop during the walk") << "Scanning folder list"
                                          << "Scanning cancelled. 0 files collected so far.";
  }
  void scanOutcomes() {
    QFETCH(QString, stopWhen);
    QFETCH(QString, finalStatus);
    TempTree tree;
    PairsOfSizes(tree, 120);
    Window w;
    w.AddFolder(tree.Root());
    w.form.seMinSizeMB->SetValue(0);
    w.form.seMaxGroups->SetValue(0);
    w.form.CompareButton(CompareMode::cmSize)->setChecked(true);
    // Every text of a scan comes under the busy cursor, which goes with the scan.
    bool busyCursorThroughout = true;
    connect(&w.form, &TMainForm::statusReported, [&busyCursorThroughout] {
      const QCursor* cursor = QApplication::overrideCursor();
      busyCursorThroughout =
          busyCursorThroughout && cursor != nullptr && cursor->shape() == Qt::BusyCursor;
    });
    bool stopWasEnabled = false;
    if (!stopWhen.isEmpty()) {
      w.WhenStatus(stopWhen, [&w, &stopWasEnabled] {
        stopWasEnabled = w.form.btnStop->isEnabled();
        w.form.btnStop->click();
      });
    }
    w.form.btnScan->click();
    QCOMPARE(w.form.lblStatus->text(), finalStatus);
    QVERIFY(!w.form.btnStop->isEnabled());
    QVERIFY(busyCursorThroughout);
    QCOMPARE(QApplication::overrideCursor(), nullptr);
    QCOMPARE(w.form.ProgressBar->value(), 0);
    QCOMPARE(w.form.ProgressBar->maximum() > 0, true);  // not left in marquee mode
    QVERIFY(!w.form.IsScanning());
    if (!stopWhen.isEmpty()) {
      QVERIFY(stopWasEnabled);
      QVERIFY(w.statuses.contains("Stopping..."));
    }
    if (stopWhen.isEmpty()) QCOMPARE(w.form.State().lvFiles.Groups().size(), size_t{120});
    if (stopWhen.startsWith("Listing")) {
      QVERIFY(w.form.State().lvFiles.Groups().size() < 120);
    }
    QVERIFY(w.form.btnScan->isEnabled());
    QVERIFY(w.form.btnCheckAll->isEnabled());
  }

  void longWorkRunsWhileTheWindowKeepsHandlingEvents() {
    Window w;
    // The work only ends once the window has handled timer events meanwhile; run in place, it
    // would wait forever (bounded here, so that a fault fails instead of hanging).
    std::atomic<int> ticks{0};
    QTimer timer;
    timer.setInterval(1);
    connect(&timer, &QTimer::timeout, [&ticks] { ++ticks; });
    timer.start();
    bool sawTicks = false;
    w.form.RunBlocking([&] {
      const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (ticks < 5 && std::chrono::steady_clock::now() < giveUp)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      sawTicks = ticks >= 5;
    });
    QVERIFY(sawTicks);

    // An error of the work reaches the caller, as if the work had run in place.
    QVERIFY_THROWS_EXCEPTION(std::runtime_error,
                             w.form.RunBlocking([] { throw std::runtime_error("walk failed"); }));
  }

  void eachCompareButtonGivesItsMode() {
    Window w;
    QCOMPARE(w.form.rgCompareItems->buttons().size(), qsizetype(kCompareModes.size()));
    for (const CompareModeInfo& info : kCompareModes) {
      QAbstractButton* button = w.form.CompareButton(info.Mode);
      QVERIFY(button != nullptr);
      QCOMPARE(button->text().toStdString(), std::string(info.Caption));
      button->click();
      QCOMPARE(w.form.CurrentSettings().Mode, info.Mode);
    }
  }

  void scanWithoutFoldersAsksForOne() {
    Window w;
    w.form.btnScan->click();
    QCOMPARE(w.dialogs->TextsOf("message"),
             std::vector<std::string>{"Please add at least one folder."});
    QCOMPARE(w.form.lblStatus->text(), QStringLiteral("Ready"));
    QVERIFY(!w.form.btnStop->isEnabled());
  }

  void commandsDuringAScan() {
    TempTree tree;
    PairsOfSizes(tree, 120);
    Window w;
    w.AddFolder(tree.Root());
    w.form.seMinSizeMB->SetValue(0);
    w.form.CompareButton(CompareMode::cmSize)->setChecked(true);
    std::map<std::string, bool> enabled;
    bool checkable = true;
    w.WhenStatus("Scanning", [&] {
      for (QWidget* c : w.form.findChildren<QWidget*>())
        if (!c->objectName().isEmpty()) enabled[c->objectName().toStdString()] = c->isEnabled();
      checkable = w.form.lvFiles->Model()->flags(w.form.lvFiles->model()->index(0, 0)) &
                  Qt::ItemIsUserCheckable;
      // A second scan, by the button and by the handler itself, is ignored.
      w.form.btnScan->click();
      w.form.btnScanClick();
    });
    w.form.btnScan->click();

    for (const char* off : {"btnScan", "btnAddFolder", "btnRemoveFolder", "btnDeleteSelected",
                            "btnSelectAllButOne", "btnCheckAll", "btnUncheckAll"}) {
      QVERIFY2(!enabled.at(off), off);
    }
    for (const char* on : {"btnStop", "btnExportFiles", "btnExportDirs", "Button1", "Button2",
                           "edMasks", "seMaxGroups", "chkDirDuplicates", "PageControl1"}) {
      QVERIFY2(enabled.at(on), on);
    }
    QVERIFY(!checkable);
    QCOMPARE(w.CountStatus("Scanning folders..."), 1);
    QCOMPARE(w.CountStatus("  Done."), 1);
    QCOMPARE(w.form.State().lvFiles.Groups().size(), size_t{100});
    QVERIFY(w.form.btnAddFolder->isEnabled());
    QVERIFY(w.form.lvFiles->Model()->flags(w.form.lvFiles->model()->index(1, 0)) &
            Qt::ItemIsUserCheckable);
  }

  void closingDuringAScanClosesOnceTheScanHasUnwound() {
    TempTree tree;
    PairsOfSizes(tree, 120);
    Window w;
    w.AddFolder(tree.Root());
    w.form.seMinSizeMB->SetValue(0);
    w.form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w.form));
    bool closedAtOnce = true;
    bool visibleAfterClose = false;
    w.WhenStatus("Scanning", [&] {
      closedAtOnce = w.form.close();
      visibleAfterClose = w.form.isVisible();
    });
    w.form.btnScan->click();
    QVERIFY(!closedAtOnce);
    QVERIFY(visibleAfterClose);
    QVERIFY(!w.form.IsScanning());
    QVERIFY(!w.form.isVisible());
    QVERIFY(w.statuses.contains("Stopping..."));
    QVERIFY(!w.statuses.contains("  Done."));
  }

  void checkButtonsActOnTheListOfTheTabShown_data() {
    QTest::addColumn<int>("page");
    QTest::addColumn<QString>("button");
    QTest::addColumn<std::vector<bool>>("expected");
    // Both lists start as: group 1 (3 rows) unchecked, checked, unchecked; group 2 (2 rows)
    // checked, checked.
    for (int page : {0, 1}) {
      const char* tab = page == 0 ? "files" : "dirs";
      QTest::addRow("%s: all but one", tab)
          << page << "btnSelectAllButOne" << std::vector<bool>{false, true, true, false, true};
      QTest::addRow("%s: all", tab)
          << page << "btnCheckAll" << std::vector<bool>{true, true, true, true, true};
      QTest::addRow("%s: none", tab)
          << page << "btnUncheckAll" << std::vector<bool>{false, false, false, false, false};
    }
  }
  void checkButtonsActOnTheListOfTheTabShown() {
    QFETCH(int, page);
    QFETCH(QString, button);
    QFETCH(std::vector<bool>, expected);
    Window w;
    ScanState& state = w.form.State();
    TFileList& records = state.FFiles;
    for (int i = 0; i < 5; ++i)
      records.push_back(std::make_unique<TFileInfo>("/d/f" + std::to_string(i), 10));
    int fileNo = 1;
    int dirNo = 1;
    AddFileGroupToList(state.lvFiles, {records[0].get(), records[1].get(), records[2].get()}, 30,
                       fileNo);
    AddFileGroupToList(state.lvFiles, {records[3].get(), records[4].get()}, 20, fileNo);
    AddDirGroupToList(state.lvDirs, {"/a", "/b", "/c"}, {}, 0, dirNo);
    AddDirGroupToList(state.lvDirs, {"/d", "/e"}, {}, 0, dirNo);
    const std::vector<bool> start{false, true, false, true, true};
    for (ResultList* list : {&state.lvFiles, &state.lvDirs})
      for (size_t i = 0; i < start.size(); ++i)
        list->SetChecked(i, start[i]);

    w.form.PageControl1->setCurrentIndex(page);
    w.form.findChild<QPushButton*>(button)->click();
    ResultList& active = page == 0 ? state.lvFiles : state.lvDirs;
    ResultList& other = page == 0 ? state.lvDirs : state.lvFiles;
    QCOMPARE(Checks(active), expected);
    QCOMPARE(Checks(other), start);
    // The view shows the new marks.
    ResultView* view = page == 0 ? w.form.lvFiles : w.form.lvDirs;
    QCOMPARE(view->model()->index(1, 0).data(Qt::CheckStateRole).toInt(),
             expected[0] ? int(Qt::Checked) : int(Qt::Unchecked));
  }

  void folderListCommands() {
    TempTree tree;
    const std::string a = tree.Dir("a");
    const std::string b = tree.Dir("b");
    Window w;
    w.AddFolder(a);
    w.AddFolder(b);
    w.AddFolder(a);  // already listed
    QCOMPARE(w.form.lbFolders->count(), 2);
    QCOMPARE(w.form.CurrentSettings().Folders, (std::vector<std::string>{a + "/", b + "/"}));

    w.form.lbFolders->clearSelection();
    w.form.btnRemoveFolder->click();  // nothing selected: nothing removed
    QCOMPARE(w.form.lbFolders->count(), 2);
    w.form.lbFolders->setCurrentRow(0);
    w.form.btnRemoveFolder->click();
    QCOMPARE(w.form.CurrentSettings().Folders, std::vector<std::string>{b + "/"});
  }

  void openLocationUsesTheSelectedRowOfTheTabShown() {
    TempTree tree;
    const std::string path = tree.File("x/file.txt", "text");
    Window w;
    ScanState& state = w.form.State();
    state.FFiles.push_back(std::make_unique<TFileInfo>(path));
    state.FFiles.push_back(std::make_unique<TFileInfo>(tree.Path("x/gone.txt"), 4));
    int groupNo = 1;
    AddFileGroupToList(state.lvFiles, {state.FFiles[0].get(), state.FFiles[1].get()}, 8, groupNo);

    w.form.Button1->click();                                                // nothing selected
    w.form.lvFiles->setCurrentIndex(w.form.lvFiles->model()->index(0, 0));  // the header
    w.form.Button1->click();
    w.form.lvFiles->setCurrentIndex(w.form.lvFiles->model()->index(1, 1));
    w.form.Button1->click();
    QCOMPARE(w.shell->Revealed, std::vector<std::string>{path});
    QCOMPARE(
        w.dialogs->TextsOf("message"),
        (std::vector<std::string>{"Please select an item first.", "Please select an item first."}));
    w.form.PageControl1->setCurrentWidget(w.form.tsDirs);  // nothing selected there
    w.form.Button1->click();
    QCOMPARE(w.dialogs->TextsOf("message").size(), size_t{3});
  }
};

QTEST_MAIN(MainFormTest)
#include "main_form_test.moc"
