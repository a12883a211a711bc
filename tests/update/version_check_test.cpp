// The version check against a server of the test's own.

#include <QElapsedTimer>
#include <QTest>

#include "local_http_server.h"
#include "update/update_session.h"
#include "update/version_check.h"

using namespace parvolane;
using namespace parvolane::testing;

Q_DECLARE_METATYPE(parvolane::testing::CannedReply)

namespace {

const std::string kVersionPath = "/download/version/parvolane-version.html";
const std::string kChangesPath = "/download/version/parvolane-changes.html";

UpdateSettings SettingsFor(const LocalHttpServer& server) {
  UpdateSettings settings;
  settings.webHost = "vendor.invalid";
  settings.baseUrl = server.BaseUrl();
  settings.readTimeout = std::chrono::milliseconds(5000);
  return settings;
}

}  // namespace

class VersionCheckTest : public QObject {
  Q_OBJECT

 private slots:
  void optionalUpdateAsksBothPagesAsTheVendorExpects() {
    LocalHttpServer server;
    server.Route(kVersionPath, Page("11/10\r\n"));
    server.Route(kChangesPath, Page("A\r\n\r\nB\r\n"));
    UpdateSession session;
    QVERIFY(CheckForNewVersion(session, SettingsFor(server)));
    QCOMPARE(session.NewVersionMessage,
             std::string("The new version 1.1 is available\r\n\r\nWhat's new:\r\nA\r\nB\r\n"));
    QVERIFY(!session.ExitAfterDialog);
    QCOMPARE(server.RequestedPaths(), (std::vector<std::string>{kVersionPath, kChangesPath}));
    QCOMPARE(server.UserAgents(), (std::vector<std::string>{"Mozilla/4.0 (compatible; MyApp)",
                                                            "Mozilla/4.0 (compatible; MyApp)"}));
  }

  void requiredUpdateEndsTheProgramAfterTheDialog() {
    LocalHttpServer server;
    server.Route(kVersionPath, Page("12/11"));
    CannedReply changes = Page("Line 1\nLine 2");
    changes.framing = CannedReply::Framing::Chunked;
    server.Route(kChangesPath, changes);
    UpdateSession session;
    QVERIFY(CheckForNewVersion(session, SettingsFor(server)));
    QVERIFY(session.ExitAfterDialog);
    QVERIFY(QString::fromStdString(session.NewVersionMessage)
                .startsWith("This version of the software is out of date. You must download the "
                            "current version 1.2 to continue"));
    QVERIFY(QString::fromStdString(session.NewVersionMessage).endsWith("Line 1\r\nLine 2\r\n"));
  }

  void noNewsLeavesTheMessageAlone() {
    LocalHttpServer server;
    server.Route(kVersionPath, Page("10/10"));
    server.Route(kChangesPath, Page("A"));
    UpdateSession session;
    session.NewVersionMessage = "untouched";
    QVERIFY(!CheckForNewVersion(session, SettingsFor(server)));
    QCOMPARE(session.NewVersionMessage, std::string("untouched"));
    QVERIFY(!session.ExitAfterDialog);
  }

  void failuresCountAsNoNewVersion_data() {
    QTest::addColumn<CannedReply>("versionReply");
    QTest::addColumn<CannedReply>("changesReply");
    const CannedReply good = Page("11/10");
    const CannedReply changes = Page("A");
    CannedReply hangUp;
    hangUp.failure = CannedReply::Failure::HangUp;
    QTest::newRow("version page missing") << Status(404, "Not Found") << changes;
    QTest::newRow("server error") << Status(500, "Internal Server Error") << changes;
    QTest::newRow("changes page missing") << good << Status(404, "Not Found");
    QTest::newRow("changes page forbidden") << good << Status(403, "Forbidden");
    QTest::newRow("connection closed at once") << hangUp << changes;
    QTest::newRow("changes connection closed") << good << hangUp;
    QTest::newRow("empty version page") << Page("") << changes;
  }

  void failuresCountAsNoNewVersion() {
    QFETCH(CannedReply, versionReply);
    QFETCH(CannedReply, changesReply);
    LocalHttpServer server;
    server.Route(kVersionPath, versionReply);
    server.Route(kChangesPath, changesReply);
    UpdateSession session;
    QVERIFY(!CheckForNewVersion(session, SettingsFor(server)));
    QVERIFY(session.NewVersionMessage.empty());
    QVERIFY(!session.ExitAfterDialog);
  }

  void nothingListeningCountsAsNoNewVersion() {
    UpdateSettings settings;
    {
      LocalHttpServer gone;
      settings = SettingsFor(gone);
    }
    UpdateSession session;
    QVERIFY(!CheckForNewVersion(session, settings));
  }

  void redirectsAreFollowedUpToTen_data() {
    QTest::addColumn<int>("hops");
    QTest::addColumn<bool>("announced");
    QTest::newRow("2 redirects") << 2 << true;
    QTest::newRow("10 redirects") << 10 << true;
    QTest::newRow("11 redirects") << 11 << false;
  }

  void redirectsAreFollowedUpToTen() {
    QFETCH(int, hops);
    QFETCH(bool, announced);
    LocalHttpServer server;
    server.RedirectChain(kVersionPath, hops, "/moved/version.txt");
    server.Route("/moved/version.txt", Page("11/10"));
    server.Route(kChangesPath, Page("A"));
    UpdateSession session;
    QCOMPARE(CheckForNewVersion(session, SettingsFor(server)), announced);
  }

  void aSilentServerTimesOut_data() {
    QTest::addColumn<int>("failure");
    QTest::newRow("nothing sent") << int(CannedReply::Failure::StallBeforeHeaders);
    QTest::newRow("headers, then nothing") << int(CannedReply::Failure::StallAfterHeaders);
  }

  void aSilentServerTimesOut() {
    QFETCH(int, failure);
    LocalHttpServer server;
    CannedReply silent = Page("11/10");
    silent.failure = static_cast<CannedReply::Failure>(failure);
    server.Route(kVersionPath, silent);
    server.Route(kChangesPath, Page("A"));
    UpdateSettings settings = SettingsFor(server);
    settings.readTimeout = std::chrono::milliseconds(300);
    UpdateSession session;
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!CheckForNewVersion(session, settings));
    // Generous: the point is that the check gave up on its own instead of hanging.
    QVERIFY(clock.elapsed() < 20000);
  }

  void aSlowServerWithinTheTimeOutIsFine() {
    LocalHttpServer server;
    CannedReply slow;
    // Longer in all than the time-out, but never silent for that long.
    slow.pieces = {"1", "1", "/", "1", "0"};
    slow.pauseMs = 300;
    server.Route(kVersionPath, slow);
    server.Route(kChangesPath, Page("A"));
    UpdateSettings settings = SettingsFor(server);
    settings.readTimeout = std::chrono::milliseconds(900);
    UpdateSession session;
    QVERIFY(CheckForNewVersion(session, settings));
  }

  // A server that never falls silent long enough for the time-out still cannot hold the start:
  // the page would take seconds to arrive whole, the deadline ends the check long before.
  void aTricklingServerMeetsTheDeadline_data() {
    QTest::addColumn<bool>("versionPageTrickles");
    QTest::newRow("version page") << true;
    QTest::newRow("changes page") << false;
  }

  void aTricklingServerMeetsTheDeadline() {
    QFETCH(bool, versionPageTrickles);
    const std::string versionPage = "11/10\r\n" + std::string(40, '\n');
    const std::string changesPage = "A\r\nB\r\n" + std::string(40, '\n');
    LocalHttpServer server;
    server.Route(kVersionPath, versionPageTrickles ? Trickle(versionPage, 100) : Page(versionPage));
    server.Route(kChangesPath, versionPageTrickles ? Page(changesPage) : Trickle(changesPage, 100));
    UpdateSettings settings = SettingsFor(server);
    settings.checkDeadline = std::chrono::milliseconds(1000);
    UpdateSession session;
    QVERIFY(!CheckForNewVersion(session, settings));
    QVERIFY(session.NewVersionMessage.empty());
    // The trickled page never arrived whole.
    const std::size_t whole =
        versionPageTrickles ? versionPage.size() : versionPage.size() + changesPage.size();
    QVERIFY(server.BodyBytesSent() < std::int64_t(whole));
  }

  // Pages are read up to 64 KiB; anything longer is no page of ours and is not read on. The
  // deadline is far away here, so only the size limit can end the endless ones.
  void pagesAreReadUpToTheSizeLimit_data() {
    QTest::addColumn<CannedReply>("versionReply");
    QTest::addColumn<CannedReply>("changesReply");
    QTest::addColumn<bool>("announced");
    const std::string line = "11/10\r\n";
    const CannedReply changes = Page("A");
    const CannedReply atLimit = Page(line + std::string(kPageSizeLimit - line.size(), 'x'));
    const CannedReply overLimit = Page(line + std::string(kPageSizeLimit - line.size() + 1, 'x'));
    CannedReply overLimitNoLength = overLimit;
    overLimitNoLength.framing = CannedReply::Framing::UntilClose;
    CannedReply huge = Page(line);
    huge.contentLength = std::size_t(2) << 30;
    QTest::newRow("64 KiB") << atLimit << changes << true;
    QTest::newRow("64 KiB and one byte") << overLimit << changes << false;
    QTest::newRow("64 KiB and one byte, no length") << overLimitNoLength << changes << false;
    QTest::newRow("2 GiB announced") << huge << changes << false;
    QTest::newRow("endless version page")
        << Endless(line + std::string(4096, 'x'), CannedReply::Framing::UntilClose) << changes
        << false;
    QTest::newRow("endless chunked version page")
        << Endless(line + std::string(4096, 'x'), CannedReply::Framing::Chunked) << changes
        << false;
    QTest::newRow("endless changes page")
        << Page(line) << Endless(std::string(4096, 'x'), CannedReply::Framing::UntilClose) << false;
  }

  void pagesAreReadUpToTheSizeLimit() {
    QFETCH(CannedReply, versionReply);
    QFETCH(CannedReply, changesReply);
    QFETCH(bool, announced);
    LocalHttpServer server;
    server.Route(kVersionPath, versionReply);
    server.Route(kChangesPath, changesReply);
    UpdateSettings settings = SettingsFor(server);
    settings.checkDeadline = std::chrono::milliseconds(600000);
    UpdateSession session;
    QCOMPARE(CheckForNewVersion(session, settings), announced);
    // Kernel buffers may hold a few megabytes more than the client took; an unbounded reader
    // would take gigabytes before the deadline.
    QVERIFY(server.BodyBytesSent() < (std::int64_t(64) << 20));
  }
};

QTEST_MAIN(VersionCheckTest)
#include "version_check_test.moc"
