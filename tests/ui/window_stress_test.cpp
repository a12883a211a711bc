// Clicks every command of the window at random (seeded) while scans run and after them, then
// closes the window in the middle of a scan. Nothing may crash, no sanitizer may complain, and
// every scan must end in one of the window's known outcomes.
#include <QAbstractButton>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <cstdlib>
#include <random>
#include <set>

#include "support/fake_services.h"
#include "support/temp_tree.h"
#include "ui/main_form.h"
#include "ui/result_view.h"
#include "ui/spin_field.h"

using namespace parvolane;
using parvolane::testing::FakeDialogs;
using parvolane::testing::FakeShell;
using parvolane::testing::TempTree;

namespace {

unsigned Seed() {
  const char* text = std::getenv("PARVOLANE_STRESS_SEED");
  return text != nullptr ? static_cast<unsigned>(std::strtoul(text, nullptr, 10)) : 20261210u;
}

// A tree where every compare mode finds groups, with folder clones too.
void MakeTree(TempTree& tree) {
  for (int i = 0; i < 400; ++i) {
    const std::string name = "f" + std::to_string(i % 97) + ".bin";
    tree.FileOfSize("a/" + std::to_string(i % 7) + "/" + name, 64 + i % 50, i % 13);
    tree.FileOfSize("b/" + std::to_string(i % 5) + "/" + name, 64 + i % 50, i % 11);
  }
  for (int i = 0; i < 20; ++i) {
    tree.FileOfSize("c/x/" + std::to_string(i), 300 + i, 1);
    tree.FileOfSize("c/y/" + std::to_string(i), 300 + i, 1);
  }
}

class Monkey {
 public:
  Monkey(TMainForm& form, FakeDialogs& dialogs, const TempTree& tree, unsigned seed)
      : FForm(form), FDialogs(dialogs), FTree(tree), FRandom(seed) {}

  void Act() {
    FDialogs.Folders.assign(
        1, PickOne({FTree.Root(), FTree.Path("a"), FTree.Path("c/x"), FTree.Path("missing")}));
    FDialogs.SaveFiles.assign(1, FTree.Root() + "/../export-" + std::to_string(Next(3)) + ".csv");
    FDialogs.AnswerYes = Next(2) == 0;
    switch (Next(12)) {
      case 0:
      case 1:
        Click(PickOne<QAbstractButton*>(
            {FForm.btnStop, FForm.btnAddFolder, FForm.btnRemoveFolder, FForm.btnSelectAllButOne,
             FForm.btnCheckAll, FForm.btnUncheckAll, FForm.Button1, FForm.btnDeleteSelected,
             FForm.btnExportFiles, FForm.btnExportDirs, FForm.Button2}));
        break;
      case 2:
        FForm.PageControl1->setCurrentIndex(static_cast<int>(Next(2)));
        break;
      case 3:
        Click(PickOne<QAbstractButton*>(
            {FForm.chkFileDuplicates, FForm.chkDirDuplicates, FForm.chkParallelHash}));
        break;
      case 4: {
        const auto radios = FForm.rgCompare->findChildren<QRadioButton*>();
        if (!radios.isEmpty()) Click(radios.at(static_cast<int>(Next(radios.size()))));
        break;
      }
      case 5:
        TypeInto(PickOne<SpinField*>({FForm.seMinSizeMB, FForm.seMaxGroups, FForm.seMinGroupSize}),
                 QString::fromStdString(
                     PickOne<std::string>({"0", "1", "3", "", "-5", "1,5", "99999999"})));
        break;
      case 6:
        FForm.edMasks->setText(
            QString::fromStdString(PickOne<std::string>({"*.*", "*.bin", "f1*", "[bad", "a:b;*"})));
        break;
      case 7:
      case 8:
        ToggleRandomCheckBox();
        break;
      case 9:
        SelectRandomRow();
        break;
      case 10:
        if (FForm.lbFolders->count() > 0) {
          FForm.lbFolders->setCurrentRow(static_cast<int>(Next(FForm.lbFolders->count())));
        }
        break;
      default:
        Click(FForm.btnScan);  // ignored while a scan runs
        break;
    }
  }

 private:
  size_t Next(size_t bound) { return std::uniform_int_distribution<size_t>(0, bound - 1)(FRandom); }
  template <typename T>
  T PickOne(std::initializer_list<T> items) {
    return *(items.begin() + Next(items.size()));
  }
  static void TypeInto(SpinField* field, const QString& text) {
    field->findChild<QLineEdit*>()->setText(text);
  }
  static void Click(QAbstractButton* button) {
    if (button->isEnabled()) button->click();  // a disabled button takes no clicks
  }
  void ToggleRandomCheckBox() {
    QAbstractItemModel* model = FForm.ActiveView()->model();
    if (model == nullptr || model->rowCount() == 0) return;
    const QModelIndex index = model->index(static_cast<int>(Next(model->rowCount())), 0);
    if (!(model->flags(index) & Qt::ItemIsUserCheckable) ||
        !(model->flags(index) & Qt::ItemIsEnabled)) {
      return;
    }
    const bool on = model->data(index, Qt::CheckStateRole).toInt() == Qt::Checked;
    model->setData(index, on ? Qt::Unchecked : Qt::Checked, Qt::CheckStateRole);
  }
  void SelectRandomRow() {
    ResultView* view = FForm.ActiveView();
    if (view->model() == nullptr || view->model()->rowCount() == 0) return;
    view->setCurrentIndex(
        view->model()->index(static_cast<int>(Next(view->model()->rowCount())), 0));
  }

  TMainForm& FForm;
  FakeDialogs& FDialogs;
  const TempTree& FTree;
  std::mt19937 FRandom;
};

void ExpectIdleAndConsistent(TMainForm& form) {
  QVERIFY(!form.IsScanning());
  QVERIFY(!form.btnStop->isEnabled());
  QCOMPARE(form.ProgressBar->value(), form.ProgressBar->minimum());
  QVERIFY(form.ProgressBar->maximum() > form.ProgressBar->minimum());  // normal mode
  const QString status = form.lblStatus->text();
  static const QStringList known = {"  Done.",   "Cancelled",     "Scanning cancelled.",
                                    "Stopping",  "Found ",        "Computing SHA-1",
                                    "Duplicate", "Directory scan"};
  bool ok = false;
  for (const QString& prefix : known)
    ok = ok || status.startsWith(prefix);
  QVERIFY2(ok, qPrintable("unexpected final status: " + status));

  // The window lets the records go once they are listed: every file row stands on its own,
  // names a path, and no file is listed twice (each file falls into one group at most).
  const ScanState& state = form.State();
  QVERIFY(state.FFiles.empty() || state.lvFiles.RowCount() == 0);
  std::set<std::string> seen;
  for (const ResultRow& row : state.lvFiles.Rows()) {
    QVERIFY(row.IsFile && row.Path.starts_with('/'));
    QVERIFY(seen.insert(row.Path).second);
  }
}

}  // namespace

class WindowStressTest : public QObject {
  Q_OBJECT

 private slots:
  void randomCommandsDuringAndAfterScans() {
    TempTree tree;
    MakeTree(tree);
    TMainForm form;
    auto dialogs = std::make_unique<FakeDialogs>();
    FakeDialogs& fake = *dialogs;
    form.SetServices(std::move(dialogs), std::make_unique<FakeShell>());
    form.show();
    fake.Folders.push_back(tree.Root());
    form.btnAddFolder->click();
    form.chkDirDuplicates->setChecked(true);
    form.seMinSizeMB->SetValue(0);

    Monkey monkey(form, fake, tree, Seed());
    QTimer clicker;
    clicker.setInterval(1);
    int actsDuringScans = 0;
    QObject::connect(&clicker, &QTimer::timeout, [&] {
      actsDuringScans += form.IsScanning() ? 1 : 0;
      monkey.Act();
    });
    clicker.start();
    for (int round = 0; round < 12; ++round) {
      if (form.lbFolders->count() == 0) {
        fake.Folders.assign(1, tree.Root());
        form.btnAddFolder->click();
      }
      // A mask that cannot be used is refused before the scan: each round's scan must run.
      if (ValidateMasks(form.edMasks->text().toStdString()))
        form.edMasks->setText(QStringLiteral("*.*"));
      form.btnScanClick();
      ExpectIdleAndConsistent(form);
      QTest::qWait(30);  // commands between scans, some of which start scans of their own
      if (!form.IsScanning()) ExpectIdleAndConsistent(form);
    }
    clicker.stop();
    QVERIFY2(actsDuringScans > 50, qPrintable(QString::number(actsDuringScans)));
  }

  void closingDuringAScan() {
    TempTree tree;
    MakeTree(tree);
    auto form = std::make_unique<TMainForm>();
    auto dialogs = std::make_unique<FakeDialogs>();
    dialogs->Folders.push_back(tree.Root());
    form->SetServices(std::move(dialogs), std::make_unique<FakeShell>());
    form->show();
    form->btnAddFolder->click();
    form->seMinSizeMB->SetValue(0);
    form->chkDirDuplicates->setChecked(true);
    form->chkParallelHash->setChecked(true);

    for (const char* moment : {"Scanning: ", "Computing SHA-1", "Analyzing", "Listing"}) {
      form->show();
      QTimer closer;
      closer.setInterval(0);
      QObject::connect(&closer, &QTimer::timeout, [&] {
        if (form->lblStatus->text().startsWith(moment)) {
          closer.stop();
          form->close();
        }
      });
      closer.start();
      form->btnScanClick();
      closer.stop();
      QVERIFY(!form->IsScanning());
      QTRY_VERIFY(!form->isVisible());
    }
    form.reset();  // the window goes away with everything it owns
  }
};

QTEST_MAIN(WindowStressTest)
#include "window_stress_test.moc"
