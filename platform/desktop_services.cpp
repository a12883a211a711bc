#include "platform/desktop_services.h"

#include <sys/stat.h>

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QStringList>
#include <QUrl>
#include <QWidget>

#include "platform/file_url.h"
#include "platform/program_info.h"
#include "platform/trash.h"

namespace parvolane {

namespace {

// Long enough for a running file manager to answer; the window must not hang on one that is
// being started.
constexpr int kFileManagerTimeoutMs = 2000;

bool IsFolder(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

/// A file URL built from the path's bytes, so that a name that is not valid UTF-8 still
/// names the right file.
QUrl LocalFileUrl(const std::string& path) {
  return QUrl::fromEncoded(QByteArray::fromStdString(FileUrlOfPath(path)), QUrl::StrictMode);
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

class DesktopDialogs final : public DialogService {
 public:
  explicit DesktopDialogs(QWidget* parent) : FParent(parent) {}

  void ShowMessage(const std::string& text) override { Show(QMessageBox::NoIcon, text); }
  void ShowInformation(const std::string& text) override { Show(QMessageBox::Information, text); }
  void ShowError(const std::string& text) override { Show(QMessageBox::Critical, text); }

  bool AskYesNo(const std::string& text) override {
    QMessageBox box(QMessageBox::Question, ApplicationTitle, QString::fromStdString(text),
                    QMessageBox::Yes | QMessageBox::No, FParent);
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
  }

  std::optional<size_t> AskChoice(const std::string& text, const std::vector<std::string>& buttons,
                                  size_t defaultButton) override {
    QMessageBox box(QMessageBox::Question, ApplicationTitle, QString::fromStdString(text),
                    QMessageBox::NoButton, FParent);
    box.setTextFormat(Qt::PlainText);
    std::vector<QAbstractButton*> added;
    for (size_t i = 0; i < buttons.size(); ++i) {
      // The last button is the way out, so that Escape means it.
      const auto role = i + 1 == buttons.size() ? QMessageBox::RejectRole : QMessageBox::AcceptRole;
      QPushButton* button = box.addButton(QString::fromStdString(buttons[i]), role);
      if (i == defaultButton) box.setDefaultButton(button);
      added.push_back(button);
    }
    if (buttons.size() > 1) box.setEscapeButton(added.back());
    box.exec();
    for (size_t i = 0; i < added.size(); ++i)
      if (box.clickedButton() == added[i]) return i;
    return std::nullopt;
  }

  std::optional<std::string> PickFolder(const std::string& startFolder) override {
    const QString start =
        IsFolder(startFolder) ? QFile::decodeName(startFolder.c_str()) : QString();
    const QString chosen = QFileDialog::getExistingDirectory(FParent, "Select folder to scan",
                                                             start, QFileDialog::ShowDirsOnly);
    if (chosen.isEmpty()) return std::nullopt;
    return QFile::encodeName(chosen).toStdString();
  }

  std::optional<std::string> PickSaveFile(const std::string& proposedName) override {
    QFileDialog dialog(FParent);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    const QStringList filters{"CSV files (*.csv)", "All files (*.*)"};
    dialog.setNameFilters(filters);
    dialog.selectNameFilter(filters.front());
    dialog.selectFile(QFile::decodeName(proposedName.c_str()));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return QFile::encodeName(dialog.selectedFiles().front()).toStdString();
  }

 private:
  void Show(QMessageBox::Icon icon, const std::string& text) {
    QMessageBox box(icon, ApplicationTitle, QString::fromStdString(text), QMessageBox::Ok, FParent);
    // File names are shown as they are, never interpreted as markup.
    box.setTextFormat(Qt::PlainText);
    box.exec();
  }

  QPointer<QWidget> FParent;
};

class DesktopShell final : public ShellService {
 public:
  TrashResult MoveToTrash(const std::vector<std::string>& paths) override {
    return parvolane::MoveToTrash(paths);
  }

  std::string RestoreFromTrash(const TrashedItem& item) override {
    return parvolane::RestoreFromTrash(item);
  }

  bool RevealFile(const std::string& path) override {
    return AskFileManagerToShow(path) || QDesktopServices::openUrl(LocalFileUrl(FolderOf(path)));
  }

  bool OpenFolder(const std::string& path) override {
    return QDesktopServices::openUrl(LocalFileUrl(path));
  }

  bool OpenFile(const std::string& path) override {
    return QDesktopServices::openUrl(LocalFileUrl(path));
  }

  bool OpenUrl(const std::string& url) override {
    return QDesktopServices::openUrl(QUrl(QString::fromStdString(url)));
  }

  void StartProgram(const std::string& path) override {
    // A downloaded file arrives without the execute bit; the owner may start it.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && (st.st_mode & S_IXUSR) == 0)
      ::chmod(path.c_str(), (st.st_mode & 07777) | S_IXUSR);
    QProcess::startDetached(QFile::decodeName(path.c_str()), {});
  }

 private:
  static bool AskFileManagerToShow(const std::string& path) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return false;
    QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.FileManager1",
                                                       "/org/freedesktop/FileManager1",
                                                       "org.freedesktop.FileManager1", "ShowItems");
    call << QStringList{QString::fromStdString(FileUrlOfPath(path))} << QString();
    const QDBusMessage reply = bus.call(call, QDBus::Block, kFileManagerTimeoutMs);
    if (reply.type() == QDBusMessage::ReplyMessage) return true;
    // A file manager that is still starting answers late; opening the folder as well would
    // show two windows.
    const QDBusError::ErrorType error = QDBusError(reply).type();
    return error == QDBusError::NoReply || error == QDBusError::Timeout;
  }
};

}  // namespace

std::unique_ptr<DialogService> CreateDesktopDialogs(QWidget* parent) {
  return std::make_unique<DesktopDialogs>(parent);
}

std::unique_ptr<ShellService> CreateDesktopShell() {
  return std::make_unique<DesktopShell>();
}

}  // namespace parvolane
