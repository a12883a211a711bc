#include <sys/stat.h>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <cerrno>

#include "support/fake_services.h"
#include "support/temp_tree.h"
#include "ui/main_form.h"
#include "ui/spin_field.h"

using namespace parvolane;
using parvolane::testing::FakeDialogs;
using parvolane::testing::FakeShell;
using parvolane::testing::TempTree;

namespace {

struct Window {
  TMainForm form;
  FakeDialogs* dialogs;

  Window() {
    auto d = std::make_unique<FakeDialogs>();
    dialogs = d.get();
    form.SetServices(std::move(d), std::make_unique<FakeShell>());
    form.show();
  }
  void AddFolder(const std::string& path) {
    dialogs->Folders.push_back(path);
    form.btnAddFolder->click();
  }
};

}  // namespace

class ScanSummaryTest : public QObject {
  Q_OBJECT

 private slots:
  void aMalformedMaskIsShownInAMessageBoxAndNothingElseChanges_data() {
    QTest::addColumn<QString>("masks");
    QTest::addColumn<QString>("message");
    QTest::newRow("open set") << "[abc"
                              << "Invalid file mask '[abc': the set has no closing bracket.";
    QTest::newRow("a folder in the mask")
        << "*.png;Photos/*.jpg"
        << "Invalid file mask 'Photos/*.jpg': '/' cannot stand in a file name.";
  }
  void aMalformedMaskIsShownInAMessageBoxAndNothingElseChanges() {
    QFETCH(QString, masks);
    QFETCH(QString, message);
    TempTree tree;
    tree.File("a/x.bin", "same");
    tree.File("b/x.bin", "same");
    Window w;
    w.AddFolder(tree.Root());
    w.form.seMinSizeMB->SetValue(0);
    w.form.btnScan->click();
    QCOMPARE(w.form.State().lvFiles.RowCount(), size_t{2});
    const QString summary = w.form.lblSummary->text();
    QVERIFY(w.form.lblSummary->isVisible());

    w.form.edMasks->setText(masks);
    w.form.btnScan->click();
    QCOMPARE(w.dialogs->TextsOf("message"), std::vector<std::string>{message.toStdString()});
    QCOMPARE(w.form.lblStatus->text(), QStringLiteral("  Done."));
    QCOMPARE(w.form.State().lvFiles.RowCount(), size_t{2});
    QVERIFY(w.form.lblSummary->isVisible());
    QCOMPARE(w.form.lblSummary->text(), summary);
    QVERIFY(!w.form.btnStop->isEnabled());
  }

  void theSummaryFollowsAScanBesideTheUntouchedStatusLine() {
    TempTree tree;
    tree.File("a/four.bin", "aaaa");
    tree.File("b/four.bin", "aaaa");
    tree.File("c/four.bin", "aaaa");
    tree.File("a/two.bin", "bb");
    tree.File("b/two.bin", "bb");
    Window w;
    QVERIFY(!w.form.lblSummary->isVisible());
    w.AddFolder(tree.Root());
    w.form.seMinSizeMB->SetValue(0);
    w.form.btnScan->click();
    QCOMPARE(w.form.lblStatus->text(), QStringLiteral("  Done."));
    QVERIFY(w.form.lblSummary->isVisible());
    QCOMPARE(w.form.lblSummary->text(), QStringLiteral("2 groups, 5 files, 10 B in extra copies"));
    QVERIFY(!w.form.btnShowSkipped->isVisible());
    QVERIFY(!w.form.lblBytes->isVisible());

    // A stopped scan has no summary.
    QTimer::singleShot(0, &w.form, [&w] { w.form.btnStop->click(); });
    w.form.btnScan->click();
    QVERIFY(!w.form.lblSummary->isVisible());
  }

  void skippedEntriesAreListedOnRequest() {
    Window w;
    ScanSummary& summary = w.form.State().Summary;
    summary.Skipped.Add(SkipKind::UnreadableFolder, "/data/locked", EACCES);
    summary.Skipped.Add(SkipKind::Vanished, "/data/gone \xF0\x9F\x98\x80.bin", ENOENT);
    summary.FolderErrors.push_back("cannot scan '/does/not/exist': No such file or directory");
    summary.FileGroupsCut = 3;
    w.form.ShowScanSummary();
    QCOMPARE(w.form.lblSummary->text(),
             QStringLiteral("0 groups, 0 files, 0 B in extra copies; 3 groups not listed (Max "
                            "groups); 1 scan folder not scanned; 2 entries skipped"));
    QVERIFY(w.form.btnShowSkipped->isVisible());
    QCOMPARE(w.form.lblStatus->text(), QStringLiteral("Ready"));
    w.form.btnShowSkipped->click();
    QCOMPARE(w.dialogs->TextsOf("information"), std::vector<std::string>{SkippedListText(summary)});
    QVERIFY(w.dialogs->TextsOf("information").front().find("/data/gone \xF0\x9F\x98\x80.bin") !=
            std::string::npos);
  }

  void exportToAPipeWithoutAReaderIsRefusedNotWaitedFor() {
    TempTree tree;
    const std::string fifo = tree.Path("pipe.csv");
    QCOMPARE(::mkfifo(fifo.c_str(), 0600), 0);
    Window w;
    w.dialogs->SaveFiles.push_back(fifo);
    w.form.btnExportFiles->click();
    QCOMPARE(w.dialogs->TextsOf("message"),
             std::vector<std::string>{"cannot write '" + fifo +
                                      "': it is a pipe that no program is reading from"});
  }

  void bytesReadShowBesideTheStatusAndGoWhenTheScanEnds() {
    Window w;
    w.form.ReportStatus("Computing SHA-1 hashes (size filtered)... 1 / 4");
    w.form.ReportBytes(0, 2254857830LL);
    QVERIFY(w.form.lblBytes->isVisible());
    QCOMPARE(w.form.lblBytes->text(), QStringLiteral("0 B of 2.1 GB"));
    w.form.ReportBytes(2254857830LL, 2254857830LL);  // the last count is never held back
    QVERIFY(w.form.lblBytes->text().startsWith(QStringLiteral("2.1 GB of 2.1 GB")));
    QCOMPARE(w.form.lblStatus->text(),
             QStringLiteral("Computing SHA-1 hashes (size filtered)... 1 / 4"));

    TempTree tree;
    w.AddFolder(tree.Root());
    w.form.btnScan->click();
    QVERIFY(!w.form.lblBytes->isVisible());
    QCOMPARE(w.form.lblSummary->text(), QStringLiteral("0 groups, 0 files, 0 B in extra copies"));
  }
};

QTEST_MAIN(ScanSummaryTest)
#include "scan_summary_test.moc"
