// The new-version dialog: what it shows, how it closes, and the installer download behind
// "Update Now", against a server of the test's own.

#include <sys/stat.h>

#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <fstream>

#include "file_checks.h"
#include "local_http_server.h"
#include "support/fake_services.h"
#include "update/new_version_dialog.h"

using namespace parvolane;
using namespace parvolane::testing;

Q_DECLARE_METATYPE(parvolane::testing::CannedReply)

namespace {

const std::string kFailure =
    "Failed to download update. Please download manually on website.\r\n\r\n";
const std::string kCancelled = "Download is cancelled. Please download manually.";

/// One dialog as the start-up shows it, with fake desktop services and a local vendor server.
struct DialogRun {
  explicit DialogRun(bool required) {
    session.NewVersionMessage = "The new version 1.1 is available\r\n\r\nWhat's new:\r\nA\r\n";
    session.ExitAfterDialog = required;
    settings.webHost = "vendor.invalid";
    settings.baseUrl = server.BaseUrl();
    settings.downloadStallTimeout = std::chrono::milliseconds(30000);
  }

  TfrmNewVersion& Show() {
    dialog = std::make_unique<TfrmNewVersion>(session, settings, dialogs, shell);
    dialog->show();
    if (!QTest::qWaitForWindowExposed(dialog.get())) {
      QTest::qFail("the dialog was never shown", __FILE__, __LINE__);
    }
    QObject::connect(Bar(), &QProgressBar::valueChanged,
                     [this](int value) { progress.push_back(value); });
    return *dialog;
  }

  QPushButton* Button(const char* name) const { return dialog->findChild<QPushButton*>(name); }
  QProgressBar* Bar() const { return dialog->findChild<QProgressBar*>("ProgressBar1"); }

  /// Presses "Update Now"; returns when the download has ended.
  void UpdateNow() { Button("btUpdateNow")->click(); }

  std::string InstallerFile() const {
    return runtimeDir.path().toStdString() + "/parvolane/orv_update.exe";
  }

  QTemporaryDir runtimeDir;
  LocalHttpServer server;
  UpdateSession session;
  UpdateSettings settings;
  FakeDialogs dialogs;
  FakeShell shell;
  std::unique_ptr<TfrmNewVersion> dialog;
  std::vector<int> progress;
};

std::string Body(std::size_t size) {
  std::string body(size, '\0');
  for (std::size_t i = 0; i < size; ++i)
    body[i] = static_cast<char>(i * 7 + 3);
  return body;
}

}  // namespace

class NewVersionDialogTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<DialogRun> FRun;

  DialogRun& Run(bool required = false) {
    FRun = std::make_unique<DialogRun>(required);
    // The installer goes to the per-user runtime folder; each test gets a fresh one.
    qputenv("XDG_RUNTIME_DIR", FRun->runtimeDir.path().toLocal8Bit());
    return *FRun;
  }

  /// After a failed download: the error box, the web site, nothing started, the program ends.
  void VerifyFailure(DialogRun& run, const std::string& message) {
    QCOMPARE(run.dialogs.TextsOf("error"), std::vector<std::string>{kFailure + message});
    QCOMPARE(run.shell.OpenedUrls, std::vector<std::string>{"https://vendor.invalid"});
    QVERIFY(run.shell.Started.empty());
    QVERIFY(!run.dialog->isVisible());
    QCOMPARE(run.dialog->Tag(), 0);
  }

 private slots:
  void cleanup() { FRun.reset(); }

  void showsTheNews_data() {
    QTest::addColumn<bool>("required");
    QTest::addColumn<QString>("secondButton");
    QTest::newRow("optional") << false << "Skip";
    QTest::newRow("required") << true << "Exit";
  }

  void showsTheNews() {
    QFETCH(bool, required);
    QFETCH(QString, secondButton);
    DialogRun& run = Run(required);
    run.session.NewVersionMessage = "Headline\r\n\r\nWhat's new:\r\n<b>not markup</b>\r\n";
    TfrmNewVersion& dialog = run.Show();
    QCOMPARE(dialog.windowTitle(), QString(" Parvolane"));
    QCOMPARE(dialog.size(), QSize(431, 196));
    QCOMPARE(run.Button("btUpdateNow")->text(), QString("Update Now"));
    QCOMPARE(run.Button("btCancel")->text(), secondButton);
    auto* label = dialog.findChild<QLabel*>("Label1");
    QCOMPARE(label->text(), QString("Headline\n\nWhat's new:\n<b>not markup</b>\n"));
    QCOMPARE(label->textFormat(), Qt::PlainText);
    QVERIFY(!run.Bar()->isVisible());
    QCOMPARE(dialog.focusWidget(), run.Button("btUpdateNow"));
    QCOMPARE(dialog.Tag(), 1);
  }

  void closing_data() {
    QTest::addColumn<bool>("required");
    QTest::addColumn<bool>("closeBox");
    QTest::addColumn<int>("tag");
    QTest::newRow("Skip") << false << false << 1;
    QTest::newRow("optional, close box") << false << true << 1;
    QTest::newRow("Exit") << true << false << 0;
    QTest::newRow("required, close box") << true << true << 0;
  }

  void closing() {
    QFETCH(bool, required);
    QFETCH(bool, closeBox);
    QFETCH(int, tag);
    DialogRun& run = Run(required);
    TfrmNewVersion& dialog = run.Show();
    if (closeBox) {
      dialog.close();
    } else {
      run.Button("btCancel")->click();
    }
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.Tag(), tag);
    QVERIFY(run.server.RequestedPaths().empty());
  }

  void escapeDoesNothingAndEnterPressesTheFocusedButton() {
    DialogRun& run = Run(true);
    TfrmNewVersion& dialog = run.Show();
    QTest::keyClick(&dialog, Qt::Key_Escape);
    QVERIFY(dialog.isVisible());
    QCOMPARE(dialog.Tag(), 1);
    QTest::keyClick(&dialog, Qt::Key_Tab);
    QCOMPARE(dialog.focusWidget(), run.Button("btCancel"));
    QTest::keyClick(dialog.focusWidget(), Qt::Key_Return);
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.Tag(), 0);
  }

  void enterStartsTheDownloadWhenTheDialogOpens() {
    DialogRun& run = Run();
    run.server.Route(kInstallerPath, Page("#!/bin/sh\n"));
    TfrmNewVersion& dialog = run.Show();
    QTest::keyClick(dialog.focusWidget(), Qt::Key_Return);
    QCOMPARE(run.shell.Started, std::vector<std::string>{run.InstallerFile()});
    QCOMPARE(dialog.Tag(), 0);
  }

  void downloadsWithProgressAndStartsTheInstaller() {
    DialogRun& run = Run();
    const std::string body = Body(4000);
    CannedReply installer;
    installer.pieces = {body.substr(0, 1000), body.substr(1000, 1000), body.substr(2000, 1000),
                        body.substr(3000)};
    installer.pauseMs = 150;
    run.server.Route(kInstallerPath, installer);
    TfrmNewVersion& dialog = run.Show();
    bool busyLooksRight = false;
    QObject::connect(run.Bar(), &QProgressBar::valueChanged, [&] {
      busyLooksRight = run.Button("btCancel")->text() == "Abort" &&
                       !run.Button("btUpdateNow")->isEnabled() && run.Bar()->isVisible();
    });
    run.UpdateNow();

    QVERIFY(busyLooksRight);
    QCOMPARE(run.progress.back(), 100);
    QVERIFY(std::is_sorted(run.progress.begin(), run.progress.end()));
    QVERIFY(std::any_of(run.progress.begin(), run.progress.end(),
                        [](int value) { return value > 0 && value < 100; }));
    QVERIFY(run.dialogs.History.empty());
    QCOMPARE(run.shell.Started, std::vector<std::string>{run.InstallerFile()});
    QVERIFY(run.shell.OpenedUrls.empty());
    QVERIFY(ReadWholeFile(run.InstallerFile()) == body);
    QCOMPARE(PermissionsOf(run.InstallerFile()), mode_t(0700));
    QCOMPARE(PermissionsOf(run.runtimeDir.path().toStdString() + "/parvolane"), mode_t(0700));
    QCOMPARE(run.server.UserAgents(), std::vector<std::string>{"Mozilla/4.0 (compatible; MyApp)"});
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.Tag(), 0);
    QVERIFY(run.session.ExitAfterDialog);
  }

  void downloadWithoutALengthLeavesTheBarAtZero_data() {
    QTest::addColumn<int>("framing");
    QTest::newRow("chunked") << int(CannedReply::Framing::Chunked);
    QTest::newRow("ended by closing") << int(CannedReply::Framing::UntilClose);
  }

  void downloadWithoutALengthLeavesTheBarAtZero() {
    QFETCH(int, framing);
    DialogRun& run = Run();
    const std::string body = Body(3000);
    CannedReply installer;
    installer.pieces = {body.substr(0, 1500), body.substr(1500)};
    installer.pauseMs = 100;
    installer.framing = static_cast<CannedReply::Framing>(framing);
    run.server.Route(kInstallerPath, installer);
    run.Show();
    run.UpdateNow();
    QVERIFY(run.progress.empty());
    QCOMPARE(run.Bar()->value(), 0);
    QVERIFY(ReadWholeFile(run.InstallerFile()) == body);
    QCOMPARE(run.shell.Started.size(), std::size_t(1));
  }

  void unsuccessfulStatusesFailWithTheStatusLine_data() {
    QTest::addColumn<CannedReply>("reply");
    QTest::addColumn<QString>("statusLine");
    QTest::newRow("not found") << Status(404, "Not Found") << "HTTP/1.1 404 Not Found";
    QTest::newRow("redirect not followed")
        << Redirect("/download/elsewhere.exe") << "HTTP/1.1 302 Found";
    QTest::newRow("server error") << Status(503, "Service Unavailable")
                                  << "HTTP/1.1 503 Service Unavailable";
  }

  void unsuccessfulStatusesFailWithTheStatusLine() {
    QFETCH(CannedReply, reply);
    QFETCH(QString, statusLine);
    DialogRun& run = Run();
    run.server.Route(kInstallerPath, reply);
    run.server.Route("/download/elsewhere.exe", Page("installer"));
    run.Show();
    run.UpdateNow();
    VerifyFailure(run, statusLine.toStdString());
    QCOMPARE(run.server.RequestedPaths(), std::vector<std::string>{kInstallerPath});
    // The error page is not the installer.
    QCOMPARE(ReadWholeFile(run.InstallerFile()), std::string());
  }

  void aBrokenTransferFails() {
    DialogRun& run = Run();
    CannedReply cut = Page(Body(500));
    cut.contentLength = 2000;
    run.server.Route(kInstallerPath, cut);
    run.Show();
    run.UpdateNow();
    QCOMPARE(run.dialogs.TextsOf("error").size(), std::size_t(1));
    QVERIFY(run.dialogs.TextsOf("error")[0].size() > kFailure.size());
    QCOMPARE(run.shell.OpenedUrls, std::vector<std::string>{"https://vendor.invalid"});
    QVERIFY(run.shell.Started.empty());
  }

  void abortWorksWhileNoDataArrives_data() {
    QTest::addColumn<int>("failure");
    QTest::newRow("nothing sent") << int(CannedReply::Failure::StallBeforeHeaders);
    QTest::newRow("headers, then nothing") << int(CannedReply::Failure::StallAfterHeaders);
  }

  void abortWorksWhileNoDataArrives() {
    QFETCH(int, failure);
    DialogRun& run = Run();
    CannedReply silent = Page(Body(100));
    silent.failure = static_cast<CannedReply::Failure>(failure);
    run.server.Route(kInstallerPath, silent);
    run.Show();
    QTimer::singleShot(300, run.dialog.get(), [&run] { run.Button("btCancel")->click(); });
    QElapsedTimer clock;
    clock.start();
    run.UpdateNow();
    // Well below the 30 s stall limit: the abort itself ended the download.
    QVERIFY(clock.elapsed() < 15000);
    QVERIFY(run.session.DownloadCancelled);
    VerifyFailure(run, kCancelled);
  }

  void abortDuringTheTransfer() {
    DialogRun& run = Run();
    CannedReply slow;
    slow.pieces = {Body(100), Body(100), Body(100), Body(100)};
    slow.pauseMs = 200;
    run.server.Route(kInstallerPath, slow);
    run.Show();
    QObject::connect(run.Bar(), &QProgressBar::valueChanged, [&run](int value) {
      if (value > 0 && value < 100) run.Button("btCancel")->click();
    });
    run.UpdateNow();
    VerifyFailure(run, kCancelled);
    QVERIFY(ReadWholeFile(run.InstallerFile()).size() < 400);
  }

  void aStalledServerTimesOut() {
    DialogRun& run = Run();
    run.settings.downloadStallTimeout = std::chrono::milliseconds(300);
    CannedReply silent = Page(Body(100));
    silent.failure = CannedReply::Failure::StallAfterHeaders;
    run.server.Route(kInstallerPath, silent);
    run.Show();
    run.UpdateNow();
    VerifyFailure(run, "The server sent no data for 0.3 seconds.");
  }

  void theCloseBoxWaitsForTheDownload() {
    DialogRun& run = Run();
    const std::string body = Body(3000);
    CannedReply slow;
    slow.pieces = {body.substr(0, 1000), body.substr(1000, 1000), body.substr(2000)};
    slow.pauseMs = 200;
    run.server.Route(kInstallerPath, slow);
    TfrmNewVersion& dialog = run.Show();
    bool stayedOpen = false;
    QTimer::singleShot(100, &dialog, [&] {
      dialog.close();
      stayedOpen = dialog.isVisible();
    });
    run.UpdateNow();
    QVERIFY(stayedOpen);
    QVERIFY(ReadWholeFile(run.InstallerFile()) == body);
    QCOMPARE(run.shell.Started.size(), std::size_t(1));
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.Tag(), 0);
  }

  void aVanishedInstallerIsNotStarted() {
    DialogRun& run = Run();
    run.server.Route(kInstallerPath, Page(Body(100)));
    run.Show();
    QObject::connect(run.Bar(), &QProgressBar::valueChanged, [&run](int value) {
      if (value == 100) std::remove(run.InstallerFile().c_str());
    });
    run.UpdateNow();
    VerifyFailure(run, "Cannot find downloaded file.");
  }

  void aLeftoverInstallerIsOverwritten() {
    DialogRun& run = Run();
    const std::string folder = run.runtimeDir.path().toStdString() + "/parvolane";
    QCOMPARE(mkdir(folder.c_str(), 0700), 0);
    std::ofstream(run.InstallerFile()) << std::string(5000, 'x');
    chmod(run.InstallerFile().c_str(), 0600);
    run.server.Route(kInstallerPath, Page("new installer"));
    run.Show();
    run.UpdateNow();
    QCOMPARE(ReadWholeFile(run.InstallerFile()), std::string("new installer"));
    QCOMPARE(PermissionsOf(run.InstallerFile()), mode_t(0700));
    QCOMPARE(run.shell.Started.size(), std::size_t(1));
  }

  void aPlantedLinkIsRefused() {
    DialogRun& run = Run();
    const std::string folder = run.runtimeDir.path().toStdString() + "/parvolane";
    const std::string victim = run.runtimeDir.path().toStdString() + "/victim";
    QCOMPARE(mkdir(folder.c_str(), 0700), 0);
    std::ofstream(victim) << "precious";
    QCOMPARE(symlink(victim.c_str(), run.InstallerFile().c_str()), 0);
    run.server.Route(kInstallerPath, Page("installer"));
    run.Show();
    run.UpdateNow();
    VerifyFailure(run, "Refusing to write '" + run.InstallerFile() + "': it is a link.");
    QCOMPARE(ReadWholeFile(victim), std::string("precious"));
    QVERIFY(run.server.RequestedPaths().empty());
  }
};

QTEST_MAIN(NewVersionDialogTest)
#include "new_version_dialog_test.moc"
