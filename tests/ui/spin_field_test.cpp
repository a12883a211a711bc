#include <QLineEdit>
#include <QLocale>
#include <QTest>

#include "ui/spin_field.h"

using parvolane::SpinField;

class SpinFieldTest : public QObject {
  Q_OBJECT

 private:
  // A field in a window with a second widget that can take the focus away.
  struct Form {
    QWidget window;
    SpinField* field;
    QLineEdit* other;
    Form(int32_t min, int32_t max, int32_t value) {
      field = new SpinField(min, max, value, &window);
      other = new QLineEdit(&window);
      other->move(0, 40);
      window.show();
      QVERIFY(QTest::qWaitForWindowExposed(&window));
    }
    void Type(const QString& keys) {
      field->setFocus();
      field->selectAll();
      QTest::keyClick(field, Qt::Key_Backspace);
      QTest::keyClicks(field, keys);
    }
    void LeaveField() {
      other->setFocus();
      QCoreApplication::processEvents();
    }
  };

 private slots:
  void readsTextAsWholeNumber_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("expected");
    const QString comma = QLocale().decimalPoint();
    // Limits 2..1000, like the minimum group size.
    QTest::newRow("plain") << "17" << 17;
    QTest::newRow("plus sign") << "+17" << 17;
    QTest::newRow("empty reads as minimum") << "" << 2;
    QTest::newRow("sign alone") << "-" << 2;
    QTest::newRow("decimal separator") << QString("1%15").arg(comma) << 2;
    QTest::newRow("sign inside") << "1-5" << 2;
    QTest::newRow("below minimum") << "1" << 2;
    QTest::newRow("negative") << "-40" << 2;
    QTest::newRow("above maximum") << "1001" << 1000;
    QTest::newRow("beyond 32 bits") << "99999999999999999999" << 1000;
  }
  void readsTextAsWholeNumber() {
    QFETCH(QString, text);
    QFETCH(int, expected);
    QCOMPARE(SpinField::ReadWholeNumber(text, 2, 1000), expected);
  }

  void typingAcceptsOnlyDigitsSignsAndDecimalSeparator() {
    Form f(0, 1000000, 100);
    f.Type(QStringLiteral("1a2 b+-x3") + QLocale().decimalPoint() + "4");
    QCOMPARE(f.field->text(), QStringLiteral("12+-3") + QLocale().decimalPoint() + "4");
  }

  void leavingTheFieldSettlesTheValue_data() {
    QTest::addColumn<int>("min");
    QTest::addColumn<int>("max");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("shown");
    QTest::newRow("min size above maximum") << 0 << 1048576 << "2000000"
                                            << "1048576";
    QTest::newRow("max groups above maximum") << 0 << 1000000 << "1000001"
                                              << "1000000";
    QTest::newRow("group size above maximum") << 2 << 1000 << "5000"
                                              << "1000";
    QTest::newRow("group size below minimum") << 2 << 1000 << "1"
                                              << "2";
    QTest::newRow("empty min size") << 0 << 1048576 << ""
                                    << "0";
    QTest::newRow("empty group size") << 2 << 1000 << ""
                                      << "2";
    QTest::newRow("decimal") << 2 << 1000 << "7" + QLocale().decimalPoint() + "5"
                             << "2";
    QTest::newRow("in range stays") << 2 << 1000 << "33"
                                    << "33";
  }
  void leavingTheFieldSettlesTheValue() {
    QFETCH(int, min);
    QFETCH(int, max);
    QFETCH(QString, typed);
    QFETCH(QString, shown);
    Form f(min, max, min);
    f.Type(typed);
    f.LeaveField();
    QCOMPARE(f.field->text(), shown);
    QCOMPARE(f.field->Value(), shown.toInt());
  }

  void arrowsStepByOneWithinLimits() {
    Form f(2, 4, 3);
    f.field->setFocus();
    QTest::keyClick(f.field, Qt::Key_Up);
    QCOMPARE(f.field->Value(), 4);
    QTest::keyClick(f.field, Qt::Key_Up);
    QCOMPARE(f.field->Value(), 4);
    QCOMPARE(f.field->text(), QStringLiteral("4"));
    f.field->stepBy(-1);
    f.field->stepBy(-1);
    f.field->stepBy(-1);
    QCOMPARE(f.field->text(), QStringLiteral("2"));
  }

  void arrowsStartFromWhatTheTextReadsAs() {
    Form f(2, 1000, 100);
    f.Type(QStringLiteral("5000"));
    QTest::keyClick(f.field, Qt::Key_Down);
    QCOMPARE(f.field->text(), QStringLiteral("999"));
    f.Type(QString());
    QTest::keyClick(f.field, Qt::Key_Up);
    QCOMPARE(f.field->text(), QStringLiteral("3"));
  }
};

QTEST_MAIN(SpinFieldTest)
#include "spin_field_test.moc"
