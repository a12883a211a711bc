#include "platform/desktop_services.h"

#include <sys/stat.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDBusConnection>
#include <QDesktopServices>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QMutex>
#include <QMutexLocker>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <fstream>
#include <functional>
#include <memory>

#include "support/temp_tree.h"

using parvolane::CreateDesktopDialogs;
using parvolane::CreateDesktopShell;
using parvolane::DialogService;
using parvolane::testing::TempTree;

namespace {

/// Runs `act` on the next modal window of type W as soon as it shows.
template <typename W>
void WhenModal(std::function<void(W*)> act) {
  auto* timer = new QTimer(qApp);
  QObject::connect(timer, &QTimer::timeout, timer, [timer, act] {
    if (auto* window = qobject_cast<W*>(QApplication::activeModalWidget())) {
      timer->stop();
      timer->deleteLater();
      act(window);
    }
  });
  timer->start(10);
}

}  // namespace

/// Stands in for the desktop's file manager on a private session bus.
class FakeFileManager final : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")

 public:
  QStringList Calls() const {
    QMutexLocker lock(&FMutex);
    return FCalls;
  }

 public slots:
  void ShowItems(const QStringList& uris, const QString& startupId) {
    QMutexLocker lock(&FMutex);
    FCalls << uris.join('|') + " startup=" + startupId;
  }

 private:
  mutable QMutex FMutex;
  QStringList FCalls;
};

/// Records what would have been handed to the desktop's URL handlers.
class UrlRecorder final : public QObject {
  Q_OBJECT

 public slots:
  void open(const QUrl& url) { Opened << url.toEncoded(); }

 public:
  QByteArrayList Opened;
};

class DesktopServicesTest final : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void cleanupTestCase();
  void messageBoxes_data();
  void messageBoxes();
  void yesNoQuestion();
  void choiceQuestion();
  void folderPicker();
  void saveDialog();
  void revealFileAsksTheFileManagerElseOpensTheFolder();
  void openFolderKeepsRawBytes();
  void startProgramMakesItExecutable();

 private:
  QProcess FBus;
  QThread FFileManagerThread;
  UrlRecorder FUrls;
};

void DesktopServicesTest::initTestCase() {
  // A private bus, so that the test never talks to a real desktop.
  FBus.start("dbus-daemon", {"--session", "--nofork", "--print-address"});
  if (!FBus.waitForStarted(5000) || !FBus.waitForReadyRead(5000)) {
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/parvolane-test-bus");
  } else {
    qputenv("DBUS_SESSION_BUS_ADDRESS", FBus.readLine().trimmed());
  }
  QDesktopServices::setUrlHandler("file", &FUrls, "open");
}

void DesktopServicesTest::cleanupTestCase() {
  QDesktopServices::unsetUrlHandler("file");
  FFileManagerThread.quit();
  FFileManagerThread.wait();
  QDBusConnection::disconnectFromBus("fake-file-manager");
  FBus.terminate();
  FBus.waitForFinished(5000);
}

void DesktopServicesTest::messageBoxes_data() {
  QTest::addColumn<int>("kind");
  QTest::addColumn<int>("icon");
  QTest::newRow("message") << 0 << int(QMessageBox::NoIcon);
  QTest::newRow("information") << 1 << int(QMessageBox::Information);
  QTest::newRow("error") << 2 << int(QMessageBox::Critical);
}

void DesktopServicesTest::messageBoxes() {
  QFETCH(int, kind);
  QFETCH(int, icon);
  const std::unique_ptr<DialogService> dialogs = CreateDesktopDialogs(nullptr);
  QMessageBox* seen = nullptr;
  QString title, text;
  int shownIcon = -1, format = -1, buttonCount = 0;
  WhenModal<QMessageBox>([&](QMessageBox* box) {
    seen = box;
    title = box->windowTitle();
    text = box->text();
    shownIcon = box->icon();
    format = box->textFormat();
    buttonCount = int(box->buttons().size());
    box->button(QMessageBox::Ok)->click();
  });
  // A file name that looks like markup is shown as typed.
  const std::string message = "File does not exist: /tmp/<b>bold</b> & caf\xc3\xa9";
  if (kind == 0) dialogs->ShowMessage(message);
  if (kind == 1) dialogs->ShowInformation(message);
  if (kind == 2) dialogs->ShowError(message);
  QVERIFY(seen != nullptr);
  QCOMPARE(title, QString("Parvolane"));
  QCOMPARE(text, QString::fromStdString(message));
  QCOMPARE(shownIcon, icon);
  QCOMPARE(format, int(Qt::PlainText));
  QCOMPARE(buttonCount, 1);
}

void DesktopServicesTest::yesNoQuestion() {
  const std::unique_ptr<DialogService> dialogs = CreateDesktopDialogs(nullptr);
  for (const bool pressDefault : {true, false}) {
    bool yesIsDefault = false;
    int icon = -1;
    WhenModal<QMessageBox>([&](QMessageBox* box) {
      yesIsDefault = box->defaultButton() == box->button(QMessageBox::Yes);
      icon = box->icon();
      (pressDefault ? box->defaultButton() : box->button(QMessageBox::No))->click();
    });
    QCOMPARE(dialogs->AskYesNo("Move 2 files to Recycle Bin?"), pressDefault);
    QVERIFY(yesIsDefault);
    QCOMPARE(icon, int(QMessageBox::Question));
  }
}

// The at-risk question: its own buttons in order, the first as the default, Escape as the last.
void DesktopServicesTest::choiceQuestion() {
  const std::unique_ptr<DialogService> dialogs = CreateDesktopDialogs(nullptr);
  const std::vector<std::string> buttons{"Keep one copy", "Move all", "Cancel"};
  for (const int key : {Qt::Key_Return, Qt::Key_Escape}) {
    QStringList shown;
    WhenModal<QMessageBox>([&](QMessageBox* box) {
      for (QAbstractButton* button : box->buttons())
        shown << button->text();
      QTest::keyClick(box, Qt::Key(key));
    });
    const std::optional<size_t> answer =
        dialogs->AskChoice("1 groups would keep no copy", buttons, 0);
    QCOMPARE(answer, std::optional<size_t>(key == Qt::Key_Return ? 0 : 2));
    QCOMPARE(shown.size(), 3);
    for (const std::string& text : buttons)
      QVERIFY(shown.contains(QString::fromStdString(text)));
  }
}

void DesktopServicesTest::folderPicker() {
  TempTree tree;
  const std::string start = tree.Dir("start");
  const std::unique_ptr<DialogService> dialogs = CreateDesktopDialogs(nullptr);
  QString title, directory;
  WhenModal<QFileDialog>([&](QFileDialog* dialog) {
    title = dialog->windowTitle();
    directory = dialog->directory().absolutePath();
    static_cast<QDialog*>(dialog)->accept();
  });
  QCOMPARE(dialogs->PickFolder(start), std::optional<std::string>(start));
  QCOMPARE(title, QString("Select folder to scan"));
  QCOMPARE(directory, QString::fromStdString(start));

  WhenModal<QFileDialog>([](QFileDialog* dialog) { dialog->reject(); });
  QCOMPARE(dialogs->PickFolder(tree.Path("gone")), std::nullopt);
}

void DesktopServicesTest::saveDialog() {
  TempTree tree;
  const std::string existing = tree.File("old.csv", "old");
  const std::unique_ptr<DialogService> dialogs = CreateDesktopDialogs(nullptr);
  QStringList filters, selected;
  QString activeFilter, suffix;
  bool noOverwritePrompt = false;
  WhenModal<QFileDialog>([&](QFileDialog* dialog) {
    filters = dialog->nameFilters();
    activeFilter = dialog->selectedNameFilter();
    suffix = dialog->defaultSuffix();
    noOverwritePrompt = dialog->testOption(QFileDialog::DontConfirmOverwrite);
    selected = dialog->selectedFiles();
    // Typed the way a user types it (selectFile() leaves a focused name field alone).
    auto* nameField = dialog->findChild<QLineEdit*>("fileNameEdit");
    if (nameField != nullptr) nameField->setText(QString::fromStdString(existing));
    static_cast<QDialog*>(dialog)->accept();
  });
  // Choosing an existing file is answered without a second question.
  QCOMPARE(dialogs->PickSaveFile("duplicate_files.csv"), std::optional<std::string>(existing));
  QCOMPARE(filters, (QStringList{"CSV files (*.csv)", "All files (*.*)"}));
  QCOMPARE(activeFilter, QString("CSV files (*.csv)"));
  QVERIFY(suffix.isEmpty());
  QVERIFY(noOverwritePrompt);
  QCOMPARE(selected.size(), 1);
  QVERIFY(selected.front().endsWith("/duplicate_files.csv"));
}

void DesktopServicesTest::revealFileAsksTheFileManagerElseOpensTheFolder() {
  if (!QDBusConnection::sessionBus().isConnected()) QSKIP("dbus-daemon is not available");
  TempTree tree;
  const std::string file = tree.File("in folder/caf\xe9 %.txt", "x");
  const QByteArray folderUrl =
      "file://" + QByteArray::fromStdString(tree.Path("in folder")).toPercentEncoding("/");
  const std::unique_ptr<parvolane::ShellService> shell = CreateDesktopShell();

  // No file manager on the bus: the folder opens instead.
  FUrls.Opened.clear();
  shell->RevealFile(file);
  QCOMPARE(FUrls.Opened, QByteArrayList{folderUrl});

  auto* manager = new FakeFileManager;
  manager->moveToThread(&FFileManagerThread);
  connect(&FFileManagerThread, &QThread::finished, manager, &QObject::deleteLater);
  FFileManagerThread.start();
  QDBusConnection bus = QDBusConnection::connectToBus(
      qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"), "fake-file-manager");
  QVERIFY(bus.registerObject("/org/freedesktop/FileManager1", manager,
                             QDBusConnection::ExportAllSlots));
  QVERIFY(bus.registerService("org.freedesktop.FileManager1"));

  FUrls.Opened.clear();
  shell->RevealFile(file);
  QVERIFY(FUrls.Opened.isEmpty());
  const QString fileUrl = "file://" + QByteArray::fromStdString(file).toPercentEncoding("/");
  QCOMPARE(manager->Calls(), QStringList{fileUrl + " startup="});
}

void DesktopServicesTest::openFolderKeepsRawBytes() {
  TempTree tree;
  const std::string folder = tree.Dir("caf\xe9\xff folder");
  FUrls.Opened.clear();
  CreateDesktopShell()->OpenFolder(folder);
  QCOMPARE(FUrls.Opened.size(), 1);
  QVERIFY(FUrls.Opened.front().endsWith("/caf%E9%FF%20folder"));
  QCOMPARE(QByteArray::fromPercentEncoding(FUrls.Opened.front().mid(7)).toStdString(), folder);
}

void DesktopServicesTest::startProgramMakesItExecutable() {
  TempTree tree;
  const std::string marker = tree.Path("started");
  const std::string program =
      tree.File("installer", "#!/bin/sh\necho started > '" + marker + "'\n");
  ::chmod(program.c_str(), 0600);
  CreateDesktopShell()->StartProgram(program);
  QTRY_VERIFY_WITH_TIMEOUT(std::ifstream(marker).good(), 10000);
  struct stat st {};
  QCOMPARE(::stat(program.c_str(), &st), 0);
  QCOMPARE(st.st_mode & 0777, mode_t{0700});
}

QTEST_MAIN(DesktopServicesTest)
#include "desktop_services_test.moc"
