// The window at the sizes users run it at: nothing covers anything, nothing is out of reach.
#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>

#include "ui/main_form.h"
#include "ui/spin_field.h"

using namespace parvolane;

class WindowLayoutTest : public QObject {
  Q_OBJECT

 private slots:
  void noControlCoversAnotherAndAllAreInside_data() {
    QTest::addColumn<QSize>("size");
    QTest::newRow("800 x 600") << QSize(800, 600);
    QTest::newRow("1024 x 768") << QSize(1024, 768);
    QTest::newRow("full HD") << QSize(1920, 1080);
    QTest::newRow("below the minimum") << QSize(300, 200);
  }
  void noControlCoversAnotherAndAllAreInside() {
    QFETCH(QSize, size);
    TMainForm form;
    form.btnUndo->show();  // the widest bottom row there is
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    form.resize(size);
    QTRY_COMPARE(form.size(), size.expandedTo(form.minimumSize()));
    QVERIFY(form.width() <= 800 || size.width() > 800);
    QVERIFY(form.height() <= 600 || size.height() > 600);
    QCoreApplication::processEvents();
    const QRect client = form.centralWidget()->rect();
    std::vector<std::pair<QString, QRect>> placed;
    for (QWidget* w : form.centralWidget()->findChildren<QWidget*>()) {
      const bool control =
          qobject_cast<QAbstractButton*>(w) != nullptr || qobject_cast<QLineEdit*>(w) != nullptr ||
          qobject_cast<SpinField*>(w) != nullptr || qobject_cast<QListWidget*>(w) != nullptr ||
          (qobject_cast<QLabel*>(w) != nullptr && !w->objectName().isEmpty());
      // Check boxes and radio buttons inside a group box sit in their own layout.
      if (!control || !w->isVisible() || w->objectName().startsWith("rgCompareItem")) continue;
      if (w->parentWidget() != nullptr && w->parentWidget()->inherits("QAbstractSpinBox")) continue;
      if (w->parentWidget() != nullptr && w->parentWidget()->inherits("QTabBar")) continue;
      const QRect r(w->mapTo(form.centralWidget(), QPoint(0, 0)), w->size());
      QVERIFY2(client.contains(r), qPrintable(w->objectName() + " is cut off"));
      placed.emplace_back(w->objectName(), r);
    }
    for (size_t i = 0; i < placed.size(); ++i) {
      for (size_t j = i + 1; j < placed.size(); ++j) {
        const bool nested = placed[i].second.contains(placed[j].second) ||
                            placed[j].second.contains(placed[i].second);
        if (nested || !placed[i].second.intersects(placed[j].second)) continue;
        QFAIL(qPrintable(placed[i].first + " overlaps " + placed[j].first));
      }
    }
    QVERIFY(form.PageControl1->height() >= 150);  // the results keep room to be read
  }
};

QTEST_MAIN(WindowLayoutTest)
#include "window_layout_test.moc"
