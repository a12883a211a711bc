// The new-version dialog: what it shows, how it closes, and the installer download behind
// "Update Now", against HTTPS servers of the test's own with certificates from a test authority.

#include <sys/stat.h>

#include <QElapsedTimer>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <fstream>

#include "file_checks.h"
#include "local_http_server.h"
#include "support/fake_services.h"
#include "test_authority.h"
#include "update/http_request.h"
#include "update/installer_download.h"
#include "update/new_version_dialog.h"
#include "update/update_error.h"

using namespace parvolane;
using namespace parvolane::testing;

Q_DECLARE_METATYPE(parvolane::testing::CannedReply)

namespace {

const std::string kFailure =
    "Failed to download update. Please download manually on website.\r\n\r\n";
const std::string kCancelled = "Download is cancelled. Please download manually.";

/// The authority the client trusts, and the certificates the test servers present.
struct Certificates {
  TestAuthority authority{"Parvolane Test Authority"};
  TestAuthority stranger{"Untrusted Test Authority"};
  ServerIdentity good = authority.Issue("IP:127.0.0.1,DNS:localhost");
  ServerIdentity otherName = authority.Issue("DNS:other.invalid");
  ServerIdentity untrusted = stranger.Issue("IP:127.0.0.1,DNS:localhost");
};

/// One dialog as the start-up shows it, with fake desktop services and a local vendor server
/// that serves the installer over HTTPS.
struct DialogRun {
  DialogRun(bool required, const Certificates& certificates, const ServerIdentity& identity)
      : server(identity) {
    session.NewVersionMessage = "The new version 1.1 is available\r\n\r\nWhat's new:\r\nA\r\n";
    session.ExitAfterDialog = required;
    settings.webHost = "vendor.invalid";
    settings.baseUrl = plainServer.BaseUrl();
    settings.installerBaseUrl = server.BaseUrl();
    settings.extraAuthorities = {certificates.authority.Certificate()};
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

  /// A file of ours, that is: a planted link does not count.
  bool InstallerLeftBehind() const {
    struct stat info {};
    return lstat(InstallerFile().c_str(), &info) == 0 && S_ISREG(info.st_mode);
  }

  QTemporaryDir runtimeDir;
  /// Where the installer comes from.
  LocalHttpServer server;
  /// A plain HTTP server on the same machine, as someone on the network path could offer.
  LocalHttpServer plainServer;
  UpdateSession session;
  UpdateSettings settings;
  FakeDialogs dialogs;
  FakeShell shell;
  std::unique_ptr<TfrmNewVersion> dialog;
  std::vector<int> progress;
};

/// A body of the given length, sent in one piece and announced with a Content-Length of
/// `declared`; the connection then ends cleanly or is cut off.
CannedReply ShortBody(std::size_t size, std::size_t declared, bool cutOff) {
  CannedReply reply;
  reply.pieces = {std::string(size, 'x')};
  reply.contentLength = declared;
  if (cutOff) reply.failure = CannedReply::Failure::CutOff;
  return reply;
}

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
  std::unique_ptr<Certificates> FCertificates;
  std::unique_ptr<DialogRun> FRun;

  DialogRun& Run(bool required = false, const ServerIdentity* identity = nullptr) {
    FRun = std::make_unique<DialogRun>(required, *FCertificates,
                                       identity != nullptr ? *identity : FCertificates->good);
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
    QVERIFY(!run.InstallerLeftBehind());
  }

 private slots:
  void initTestCase() { FCertificates = std::make_unique<Certificates>(); }
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
    auto* label = dialog.findChild<QPlainTextEdit*>("Label1");
    QCOMPARE(label->toPlainText(), QString("Headline\n\nWhat's new:\n<b>not markup</b>\n"));
    QVERIFY(label->isReadOnly());
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
                       !run.Button("btUpdateNow")->isEnabled() && run.Bar()->isVisible() &&
                       // Nothing can run the file before it is known to be whole.
                       PermissionsOf(run.InstallerFile()) == 0600;
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

  void aChunkedDownloadLeavesTheBarAtZero() {
    DialogRun& run = Run();
    const std::string body = Body(3000);
    CannedReply installer;
    installer.pieces = {body.substr(0, 1500), body.substr(1500)};
    installer.pauseMs = 100;
    installer.framing = CannedReply::Framing::Chunked;
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
  }

  void aWebSiteThatNothingOpensIsSaidSo() {
    DialogRun& run = Run();
    run.server.Route(kInstallerPath, Status(404, "Not Found"));
    run.shell.OpenSucceeds = false;
    run.Show();
    run.UpdateNow();
    QCOMPARE(run.dialogs.TextsOf("error"),
             (std::vector<std::string>{kFailure + "HTTP/1.1 404 Not Found",
                                       "No program on this desktop could open the web site "
                                       "https://vendor.invalid"}));
    QCOMPARE(run.dialog->Tag(), 0);
  }

  void aLongChangeListScrolls() {
    DialogRun& run = Run();
    for (int i = 0; i < 20; ++i)
      run.session.NewVersionMessage += "- change " + std::to_string(i) + "\r\n";
    TfrmNewVersion& dialog = run.Show();
    auto* list = dialog.findChild<QPlainTextEdit*>("Label1");
    QCOMPARE(list->size(), QSize(327, 115));  // the same place, now with a scroll bar
    QVERIFY(list->verticalScrollBar()->maximum() > 0);
    QCOMPARE(dialog.focusWidget(), run.Button("btUpdateNow"));
  }

  void onlyAWholeVerifiedDownloadIsStarted_data() {
    QTest::addColumn<QString>("server");
    QTest::addColumn<CannedReply>("reply");
    QTest::addColumn<QString>("expected");
    const CannedReply script = Page("#!/bin/sh\ntouch /tmp/owned\n");
    // Without a length, a body cut short on the way looks just like a whole one.
    CannedReply noLength = Page(Body(50002));
    noLength.framing = CannedReply::Framing::UntilClose;
    CannedReply noLengthCut = noLength;
    noLengthCut.failure = CannedReply::Failure::CutOff;
    CannedReply chunkedCut = noLengthCut;
    chunkedCut.framing = CannedReply::Framing::Chunked;
    const char* noEnd = "The server did not say where the download ends";
    QTest::newRow("plain HTTP address")
        << "plain" << script << "over an unencrypted connection: http://127.0.0.1:";
    QTest::newRow("redirect to plain HTTP")
        << "redirect to plain" << script << "HTTP/1.1 302 Found";
    QTest::newRow("redirect to another host")
        << "redirect to other host" << script << "HTTP/1.1 302 Found";
    QTest::newRow("certificate for another name")
        << "other name" << script << "The host name did not match";
    QTest::newRow("untrusted certificate") << "untrusted" << script << "SSL handshake failed";
    QTest::newRow("short body, closed cleanly") << "good" << ShortBody(50002, 1000000, false) << "";
    QTest::newRow("short body, cut off") << "good" << ShortBody(50002, 1000000, true) << "";
    QTest::newRow("closed early without a length") << "good" << noLengthCut << noEnd;
    QTest::newRow("closed without a length") << "good" << noLength << noEnd;
    QTest::newRow("chunked body cut off") << "good" << chunkedCut << "";
    QTest::newRow("endless installer")
        << "good" << Endless(Body(16384), CannedReply::Framing::Chunked)
        << "The download is larger than the limit of 1048576 bytes.";
    QTest::newRow("declared length above the limit")
        << "good" << ShortBody(100, 2 << 20, false)
        << "The download is larger than the limit of 1048576 bytes.";
  }

  // Whatever the network path or the server does, nothing runs and nothing is left behind
  // unless the whole installer came over a verified connection.
  void onlyAWholeVerifiedDownloadIsStarted() {
    QFETCH(QString, server);
    QFETCH(CannedReply, reply);
    QFETCH(QString, expected);
    const ServerIdentity* identity = server == "other name"  ? &FCertificates->otherName
                                     : server == "untrusted" ? &FCertificates->untrusted
                                                             : nullptr;
    DialogRun& run = Run(false, identity);
    run.settings.installerSizeLimit = 1 << 20;
    run.plainServer.Route(kInstallerPath, reply);
    if (server == "plain") {
      run.settings.installerBaseUrl = run.plainServer.BaseUrl();
    } else if (server == "redirect to plain") {
      run.server.Route(kInstallerPath, Redirect(run.plainServer.BaseUrl() + kInstallerPath));
    } else if (server == "redirect to other host") {
      run.server.Route(
          kInstallerPath,
          Redirect("https://localhost:" + std::to_string(run.server.Port()) + kInstallerPath));
    } else {
      run.server.Route(kInstallerPath, reply);
    }
    run.Show();
    run.UpdateNow();

    const std::vector<std::string> errors = run.dialogs.TextsOf("error");
    QCOMPARE(errors.size(), std::size_t(1));
    QVERIFY2(QString::fromStdString(errors[0]).startsWith(QString::fromStdString(kFailure)),
             errors[0].c_str());
    QVERIFY2(errors[0].size() > kFailure.size(), errors[0].c_str());
    QVERIFY2(QString::fromStdString(errors[0]).contains(expected), errors[0].c_str());
    QCOMPARE(run.shell.OpenedUrls, std::vector<std::string>{"https://vendor.invalid"});
    QVERIFY(run.shell.Started.empty());
    QVERIFY(!run.InstallerLeftBehind());
    QVERIFY(run.plainServer.RequestedPaths().empty());
    QCOMPARE(run.dialog->Tag(), 0);
    // The client stopped reading near the limit instead of taking all it was given.
    QVERIFY(run.server.BodyBytesSent() < (std::int64_t(64) << 20));
  }

  // The body reaches the file in pieces of bounded size, so memory stays flat however much the
  // server sends, and the download stops at the size limit.
  void anEndlessInstallerStopsAtTheLimitWithoutPilingUp() {
    LocalHttpServer server(FCertificates->good);
    server.Route(kInstallerPath, Endless(Body(65536), CannedReply::Framing::Chunked));
    UpdateSettings settings;
    settings.extraAuthorities = {FCertificates->authority.Certificate()};
    settings.installerSizeLimit = std::int64_t(8) << 20;
    InstallerDownload download(UpdateUrl(server.BaseUrl(), kInstallerPath), settings);
    std::int64_t total = 0;
    std::int64_t largestPiece = 0;
    const auto sink = [&](std::string_view data) {
      total += static_cast<std::int64_t>(data.size());
      largestPiece = std::max(largestPiece, static_cast<std::int64_t>(data.size()));
    };
    QVERIFY_THROWS_EXCEPTION(UpdateError, download.Run(sink, [](const DownloadWork&) {}));
    QVERIFY(total <= settings.installerSizeLimit);
    QVERIFY(total > settings.installerSizeLimit / 2);
    QVERIFY(largestPiece <= InstallerDownload::kReadBufferSize);
    QVERIFY(server.BodyBytesSent() < settings.installerSizeLimit + (std::int64_t(64) << 20));
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
