// The reading of the vendor's version and changes pages, without any network.

#include <QTest>

#include "update/version_page.h"

using parvolane::EvaluateVersionPages;
using parvolane::SplitPageLines;

namespace {

const QString kOptional11 = "The new version 1.1 is available\r\n\r\nWhat's new:\r\n";
const QString kNothing = "(nothing)";

QString Outcome(const std::string& versionPage, const std::string& changesPage) {
  const auto notice = EvaluateVersionPages(versionPage, changesPage, 10);
  if (!notice) return kNothing;
  return (notice->required ? "required: " : "optional: ") + QString::fromStdString(notice->message);
}

}  // namespace

class VersionPageTest : public QObject {
  Q_OBJECT

 private slots:
  void verdict_data() {
    QTest::addColumn<QByteArray>("versionPage");
    QTest::addColumn<QByteArray>("changesPage");
    QTest::addColumn<QString>("expected");

    QTest::newRow("newer, optional") << QByteArray("11/10") << QByteArray("Faster scans")
                                     << "optional: " + kOptional11 + "Faster scans\r\n";
    QTest::newRow("required names the latest, not the minimum")
        << QByteArray("12/11\r\n") << QByteArray("")
        << "required: This version of the software is out of date. You must download the current "
           "version 1.2 to continue using the software.\r\n\r\nWhat's new:\r\n";
    QTest::newRow("minimum above us even when latest is not")
        << QByteArray("10/11") << QByteArray("")
        << "required: This version of the software is out of date. You must download the current "
           "version 1.0 to continue using the software.\r\n\r\nWhat's new:\r\n";
    QTest::newRow("same version") << QByteArray("10/10") << QByteArray("x") << kNothing;
    QTest::newRow("older version") << QByteArray("9/5") << QByteArray("x") << kNothing;
    QTest::newRow("no slash") << QByteArray("11") << QByteArray("x") << kNothing;
    QTest::newRow("no minimum") << QByteArray("11/") << QByteArray("x") << kNothing;
    QTest::newRow("no latest") << QByteArray("/11") << QByteArray("x") << kNothing;
    QTest::newRow("two words") << QByteArray("new version") << QByteArray("x") << kNothing;
    QTest::newRow("trailing blank") << QByteArray("11/10 ") << QByteArray("x") << kNothing;
    QTest::newRow("decimal point") << QByteArray("1.1/10") << QByteArray("x") << kNothing;
    QTest::newRow("beyond a whole number")
        << QByteArray("99999999999/10") << QByteArray("x") << kNothing;
    QTest::newRow("empty page") << QByteArray("") << QByteArray("x") << kNothing;
    QTest::newRow("empty first line") << QByteArray("\r\n11/10") << QByteArray("x") << kNothing;
    QTest::newRow("leading blanks and signs are numbers")
        << QByteArray(" +11/ -3") << QByteArray("")
        << "optional: The new version  +1.1 is available\r\n\r\nWhat's new:\r\n";
    QTest::newRow("single digit") << QByteArray("7/12") << QByteArray("")
                                  << "required: This version of the software is out of date. You "
                                     "must download the current version .7 to continue using "
                                     "the software.\r\n\r\nWhat's new:\r\n";
    QTest::newRow("three digits") << QByteArray("123/10") << QByteArray("")
                                  << "optional: The new version 12.3 is available\r\n\r\nWhat's "
                                     "new:\r\n";
    QTest::newRow("byte-order mark") << QByteArray(
                                            "\xEF\xBB\xBF"
                                            "11/10\r\n")
                                     << QByteArray(
                                            "\xEF\xBB\xBF"
                                            "A\r\n")
                                     << "optional: " + kOptional11 + "A\r\n";
    QTest::newRow("only the first line counts") << QByteArray("11/10\nnot/a version\n99/99")
                                                << QByteArray("") << "optional: " + kOptional11;
    QTest::newRow("CR-only lines") << QByteArray("11/10\r9/9") << QByteArray("A\rB\r")
                                   << "optional: " + kOptional11 + "A\r\nB\r\n";
    QTest::newRow("empty change lines dropped, blank ones kept")
        << QByteArray("11/10") << QByteArray("A\r\n\r\n\nB\n  \n")
        << "optional: " + kOptional11 + "A\r\nB\r\n  \r\n";
    QTest::newRow("only empty change lines")
        << QByteArray("11/10") << QByteArray("\r\n\r\n\n\r") << "optional: " + kOptional11;
    QTest::newRow("markup and UTF-8 kept as written")
        << QByteArray("11/10")
        << QByteArray("<b>Schnellere Suche</b> \xE2\x80\x93 \xF0\x9F\x9A\x80")
        << "optional: " + kOptional11 + "<b>Schnellere Suche</b> \u2013 \U0001F680\r\n";
  }

  void verdict() {
    QFETCH(QByteArray, versionPage);
    QFETCH(QByteArray, changesPage);
    QFETCH(QString, expected);
    QCOMPARE(Outcome(versionPage.toStdString(), changesPage.toStdString()), expected);
  }

  void lineEnds() {
    using Lines = std::vector<std::string>;
    QCOMPARE(SplitPageLines("a\r\nb\nc\rd"), (Lines{"a", "b", "c", "d"}));
    QCOMPARE(SplitPageLines("a\n\rb"), (Lines{"a", "", "b"}));
    QCOMPARE(SplitPageLines("a\r\n"), (Lines{"a"}));
    QCOMPARE(SplitPageLines("\r\n"), (Lines{""}));
    QCOMPARE(SplitPageLines("\xEF\xBB\xBF"), Lines{});
    QCOMPARE(SplitPageLines(std::string_view("a\0b", 3)), (Lines{std::string("a\0b", 3)}));
  }
};

QTEST_APPLESS_MAIN(VersionPageTest)
#include "version_page_test.moc"
