// What the window remembers between runs, and how it copes with a file it cannot use.
#include <sys/stat.h>
#include <unistd.h>
#include <QButtonGroup>
#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include "support/fake_services.h"
#include "ui/main_form.h"
#include "ui/spin_field.h"

using namespace parvolane;
using parvolane::testing::FakeDialogs;

namespace {

// The values a first start shows, as the window reports them.
struct Values {
  std::vector<std::string> Folders;
  ScanSettings Scan;
  KeepRule Rule;
  QSize Size;
};

Values ValuesOf(TMainForm& form) {
  return {form.CurrentSettings().Folders, form.CurrentSettings(), form.CurrentKeepRule(),
          form.size()};
}

void CompareScanValues(const ScanSettings& a, const ScanSettings& b) {
  QCOMPARE(a.Folders, b.Folders);
  QCOMPARE(a.FindFileClones, b.FindFileClones);
  QCOMPARE(a.FindFolderClones, b.FindFolderClones);
  QCOMPARE(a.Mode, b.Mode);
  QCOMPARE(a.MaskText, b.MaskText);
  QCOMPARE(a.MinSizeMB, b.MinSizeMB);
  QCOMPARE(a.MaxGroups, b.MaxGroups);
  QCOMPARE(a.MinGroupSize, b.MinGroupSize);
  QCOMPARE(a.ParallelHashing, b.ParallelHashing);
  QCOMPARE(a.UseHashCache, b.UseHashCache);
  QCOMPARE(a.CollapseNestedDirGroups, b.CollapseNestedDirGroups);
}

}  // namespace

class WindowSettingsTest : public QObject {
  Q_OBJECT

  QTemporaryDir FDir;
  QString FFile;
  Values FDefaults;

 public:
  // The screen of the report (1280 x 1024), in place of the offscreen platform's default.
  static void initMain() {
    static QTemporaryDir config;
    const QString file = config.filePath("screens.json");
    QFile json(file);
    if (!json.open(QIODevice::WriteOnly)) return;
    json.write(R"({"screens": [{"name": "report", "x": 0, "y": 0, "width": 1280,
                   "height": 1024, "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})");
    json.close();
    qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + file.toLocal8Bit());
  }

 private slots:
  void initTestCase() {
    QCOMPARE(QGuiApplication::primaryScreen()->availableGeometry(), QRect(0, 0, 1280, 1024));
    // Whatever goes wrong here, the real user's configuration is never touched.
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(FDir.isValid());
    FFile = FDir.filePath("config/parvolane/parvolane.conf");
    TMainForm fresh;
    FDefaults = ValuesOf(fresh);
    QVERIFY(FDefaults.Scan.UseHashCache);
    QVERIFY(!TMainForm::DefaultSettingsFile().startsWith(QDir::homePath() + "/.config/"));
  }

  void init() { QFile::remove(FFile); }

  void aWindowThatRemembersNothingTouchesNoFile() {
    {
      TMainForm form;
      form.chkDirDuplicates->setChecked(true);
      form.close();
    }
    QVERIFY(!QFile::exists(FFile));
  }

  void changesAreWrittenAndReadBackAtTheNextStart() {
    const std::string photos = FDir.filePath("Photos").toStdString();
    const std::string odd = FDir.path().toStdString() + "/caf\xE9\xFF";  // not UTF-8
    QVERIFY(::mkdir(photos.c_str(), 0700) == 0 && ::mkdir(odd.c_str(), 0700) == 0);
    std::vector<std::string> listed;
    {
      TMainForm form;
      form.RememberSettingsIn(FFile);
      auto dialogs = std::make_unique<FakeDialogs>();
      dialogs->Folders = {photos, odd};
      form.SetServices(std::move(dialogs), nullptr);
      form.btnAddFolder->click();
      form.btnAddFolder->click();
      form.chkFileDuplicates->setChecked(false);
      form.chkDirDuplicates->setChecked(true);
      form.chkParallelHash->setChecked(false);
      form.chkHashCache->setChecked(false);
      form.chkCollapseNested->setChecked(true);
      form.CompareButton(CompareMode::cmNameAndSize)->setChecked(true);
      form.edMasks->setText("*.jpg;*.png");
      form.seMinSizeMB->SetValue(7);
      form.seMaxGroups->SetValue(0);
      form.seMinGroupSize->SetValue(3);
      form.btnKeepRule->menu()->findChild<QAction*>("actKeep_newest")->trigger();
      form.resize(1000, 700);
      listed = form.CurrentSettings().Folders;
      QCOMPARE(listed.size(), size_t{2});
      QTRY_VERIFY(QFile::exists(FFile));  // written when they change, not only at the end
      form.close();
    }
    TMainForm again;
    again.RememberSettingsIn(FFile);
    const ScanSettings s = again.CurrentSettings();
    QCOMPARE(s.Folders, listed);  // byte for byte
    QCOMPARE(s.FindFileClones, false);
    QCOMPARE(s.FindFolderClones, true);
    QCOMPARE(s.ParallelHashing, false);
    QCOMPARE(s.UseHashCache, false);
    QCOMPARE(s.CollapseNestedDirGroups, true);
    QCOMPARE(s.Mode, CompareMode::cmNameAndSize);
    QCOMPARE(s.MaskText, std::string("*.jpg;*.png"));
    QCOMPARE(s.MinSizeMB, 7);
    QCOMPARE(s.MaxGroups, 0);
    QCOMPARE(s.MinGroupSize, 3);
    QCOMPARE(again.CurrentKeepRule(), KeepRule::Newest);
    QCOMPARE(again.size(), QSize(1000, 700));
    ::rmdir(odd.c_str());  // a name that is not UTF-8 is more than the temporary folder removes
  }

  // Files written before keep their meaning, and a mode is written back as the same number.
  void storedCompareModesKeepTheirMeaning_data() {
    QTest::addColumn<int>("number");
    QTest::addColumn<int>("mode");
    QTest::newRow("name") << 0 << int(CompareMode::cmName);
    QTest::newRow("size") << 1 << int(CompareMode::cmSize);
    QTest::newRow("name and size") << 2 << int(CompareMode::cmNameAndSize);
    QTest::newRow("content") << 3 << int(CompareMode::cmContent);
  }
  void storedCompareModesKeepTheirMeaning() {
    QFETCH(int, number);
    QFETCH(int, mode);
    QDir().mkpath(QFileInfo(FFile).absolutePath());
    QFile file(FFile);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QStringLiteral("[General]\nversion=1\ncompareMode=%1\n").arg(number).toUtf8());
    file.close();
    {
      TMainForm form;
      form.RememberSettingsIn(FFile);
      QCOMPARE(int(form.CurrentSettings().Mode), mode);
      form.SaveSettings();
    }
    const QSettings written(FFile, QSettings::IniFormat);
    QCOMPARE(written.value("compareMode").toInt(), number);
  }

  void aBrokenFileStartsWithTheDefaults_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("binary garbage") << QByteArray("\x00\xFF\xFE[[\x01=\n@ByteArray(", 18);
    QTest::newRow("values out of range") << QByteArray(
        "[General]\nversion=1\ncompareMode=9\nminSizeMB=-5\nmaxGroups=banana\n"
        "minGroupSize=1\nfindFileClones=maybe\nkeepRule=biggest\n"
        "windowSize=@Size(99999 -3)\nfolders=relative/path\n");
    QTest::newRow("another version") << QByteArray("[General]\nversion=2\ncompareMode=0\n");
    QTest::newRow("empty") << QByteArray();
  }
  void aBrokenFileStartsWithTheDefaults() {
    QFETCH(QByteArray, content);
    QDir().mkpath(QFileInfo(FFile).absolutePath());
    QFile file(FFile);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();
    TMainForm form;
    form.RememberSettingsIn(FFile);
    CompareScanValues(form.CurrentSettings(), FDefaults.Scan);
    QCOMPARE(form.CurrentKeepRule(), KeepRule::First);
    QCOMPARE(form.size(), FDefaults.Size);
    // The next change writes a good file over the broken one.
    form.chkDirDuplicates->setChecked(true);
    form.SaveSettings();
    TMainForm again;
    again.RememberSettingsIn(FFile);
    QVERIFY(again.chkDirDuplicates->isChecked());
  }

  // A size saved on a larger screen, or written by hand, never makes the window larger than
  // the screen or puts part of it off the screen.
  void savedSizesFitTheScreen_data() {
    QTest::addColumn<QByteArray>("saved");
    QTest::addColumn<QSize>("expected");  // empty: the first start's size; 0 x 0: the minimum
    QTest::newRow("fits") << QByteArray("1000 700") << QSize(1000, 700);
    QTest::newRow("the whole screen") << QByteArray("1280 1024") << QSize(1280, 1024);
    QTest::newRow("huge") << QByteArray("16384 16384") << QSize(1280, 1024);
    QTest::newRow("larger than any screen") << QByteArray("99999 99999") << QSize(1280, 1024);
    QTest::newRow("too wide") << QByteArray("3000 800") << QSize(1280, 800);
    QTest::newRow("too high") << QByteArray("900 5000") << QSize(900, 1024);
    QTest::newRow("below the minimum") << QByteArray("10 10") << QSize(0, 0);
    QTest::newRow("negative") << QByteArray("-5 -5") << QSize();
    QTest::newRow("negative height") << QByteArray("1000 -700") << QSize();
  }
  void savedSizesFitTheScreen() {
    QFETCH(QByteArray, saved);
    QFETCH(QSize, expected);
    QDir().mkpath(QFileInfo(FFile).absolutePath());
    QFile file(FFile);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[General]\nversion=1\nwindowSize=@Size(" + saved + ")\n");
    file.close();
    TMainForm form;
    form.RememberSettingsIn(FFile);
    if (expected.isEmpty()) expected = expected.isNull() ? form.minimumSizeHint() : FDefaults.Size;
    QCOMPARE(form.size(), expected);
    QVERIFY(form.screen()->availableGeometry().contains(form.frameGeometry()));
  }

  // Once the window is shown its frame is known, and it has to fit too.
  void aShownWindowKeepsItsFrameOnTheScreen() {
    QDir().mkpath(QFileInfo(FFile).absolutePath());
    QFile file(FFile);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[General]\nversion=1\nwindowSize=@Size(16384 16384)\n");
    file.close();
    TMainForm form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QVERIFY(form.frameGeometry() != form.geometry());  // the offscreen platform draws a frame
    form.RememberSettingsIn(FFile);
    QCOMPARE(form.frameGeometry(), form.screen()->availableGeometry());
  }
};

QTEST_MAIN(WindowSettingsTest)
#include "window_settings_test.moc"
