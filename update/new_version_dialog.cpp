#include "update/new_version_dialog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QShowEvent>
#include <QSvgRenderer>

#include "platform/program_info.h"
#include "update/http_request.h"
#include "update/installer_download.h"
#include "update/installer_file.h"
#include "update/update_error.h"

namespace parvolane {

namespace {

const QString kAbortCaption = QStringLiteral("Abort");
constexpr const char* kCancelledMessage = "Download is cancelled. Please download manually.";

/// The dialog's picture, drawn from the vector source at the screen's resolution.
class UpdateIconView final : public QWidget {
 public:
  explicit UpdateIconView(QWidget* parent)
      : QWidget(parent), FRenderer(QStringLiteral(":/parvolane/update-icon.svg")) {}

 protected:
  void paintEvent(QPaintEvent*) override {
    QSizeF size = FRenderer.defaultSize();
    size.scale(QSizeF(width(), height()), Qt::KeepAspectRatio);
    const QRectF target((width() - size.width()) / 2, (height() - size.height()) / 2, size.width(),
                        size.height());
    QPainter painter(this);
    FRenderer.render(&painter, target);
  }

 private:
  QSvgRenderer FRenderer;
};

QPushButton* MakeButton(QWidget* parent, const char* name, const QRect& geometry) {
  auto* button = new QPushButton(parent);
  button->setObjectName(QLatin1String(name));
  button->setGeometry(geometry);
  // Enter presses the focused button; there is no button that Enter presses from elsewhere.
  button->setAutoDefault(true);
  button->setDefault(false);
  return button;
}

}  // namespace

TfrmNewVersion::TfrmNewVersion(UpdateSession& session, UpdateSettings settings,
                               DialogService& dialogs, ShellService& shell)
    : QDialog(nullptr, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      FSession(session),
      FSettings(std::move(settings)),
      FDialogs(dialogs),
      FShell(shell) {
  setObjectName(QStringLiteral("frmNewVersion"));
  setFixedSize(431, 196);

  VirtualImage1 = new UpdateIconView(this);
  VirtualImage1->setObjectName(QStringLiteral("VirtualImage1"));
  VirtualImage1->setGeometry(9, 15, 70, 75);

  // The change list is shown as the vendor wrote it, never as markup; a long one scrolls.
  Label1 = new QPlainTextEdit(this);
  Label1->setObjectName(QStringLiteral("Label1"));
  Label1->setGeometry(90, 11, 327, 115);
  Label1->setReadOnly(true);
  Label1->setFrameShape(QFrame::NoFrame);
  Label1->setFocusPolicy(Qt::ClickFocus);  // Tab goes between the buttons, as before
  Label1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  Label1->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  Label1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  QPalette blend = Label1->palette();  // reads as the dialog's own text, not an input field
  blend.setColor(QPalette::Base, blend.color(QPalette::Window));
  Label1->setPalette(blend);
  Label1->document()->setDocumentMargin(0);

  ProgressBar1 = new QProgressBar(this);
  ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
  ProgressBar1->setGeometry(8, 133, 409, 17);
  ProgressBar1->setRange(0, 100);
  ProgressBar1->setValue(0);
  ProgressBar1->setTextVisible(false);
  ProgressBar1->setVisible(false);

  btUpdateNow = MakeButton(this, "btUpdateNow", QRect(226, 160, 100, 25));
  btCancel = MakeButton(this, "btCancel", QRect(339, 160, 75, 25));
  setTabOrder(btUpdateNow, btCancel);
  connect(btUpdateNow, &QPushButton::clicked, this, &TfrmNewVersion::btUpdateNowClick);
  connect(btCancel, &QPushButton::clicked, this, &TfrmNewVersion::btCancelClick);
}

TfrmNewVersion::~TfrmNewVersion() = default;

void TfrmNewVersion::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!event->spontaneous()) FormShow();
}

void TfrmNewVersion::closeEvent(QCloseEvent* event) {
  // The close box must not cut a download short; the dialog closes by itself when it ends.
  if (FDownloading) {
    event->ignore();
    return;
  }
  FormClose();
  event->accept();
}

void TfrmNewVersion::FormShow() {
  FTag = 1;
  setWindowTitle(QStringLiteral(" ") + QString::fromUtf8(ApplicationTitle));
  btUpdateNow->setText(QStringLiteral("Update Now"));
  btCancel->setText(FSession.ExitAfterDialog ? QStringLiteral("Exit") : QStringLiteral("Skip"));
  // Lines break at LF; a CR would show as a stray glyph.
  Label1->setPlainText(QString::fromStdString(FSession.NewVersionMessage)
                           .replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
  btUpdateNow->setFocus();
}

void TfrmNewVersion::FormClose() {
  if (FSession.ExitAfterDialog) FTag = 0;
}

void TfrmNewVersion::btCancelClick() {
  if (btCancel->text() == kAbortCaption) {
    FSession.DownloadCancelled = true;
    // Without this the abort would wait for the next data, which a stalled server never sends.
    if (FDownload != nullptr) FDownload->Abort(kCancelledMessage);
    return;
  }
  close();
}

void TfrmNewVersion::btUpdateNowClick() {
  if (FDownloading) return;
  FDownloading = true;
  FSession.ExitAfterDialog = true;
  try {
    FSession.DownloadCancelled = false;
    btCancel->setText(kAbortCaption);
    btUpdateNow->setEnabled(false);
    SetProgress(0);
    ProgressBar1->setVisible(true);
    ProgressBar1->repaint();
    QCoreApplication::processEvents();
    const std::string installer = DownloadInstaller();
    FShell.StartProgram(installer);
  } catch (const std::exception& error) {
    FDialogs.ShowError(
        std::string("Failed to download update. Please download manually on website.\r\n\r\n") +
        error.what());
    const std::string site = "https://" + FSettings.webHost;
    if (!FShell.OpenUrl(site))
      FDialogs.ShowError("No program on this desktop could open the web site " + site);
  }
  FDownloading = false;
  close();
}

std::string TfrmNewVersion::DownloadInstaller() {
  const PrivateFolder folder = PrivateFolder::Open();
  // Removed again on every way out but the last: only a complete download stays behind.
  InstallerFile file(folder, kInstallerFileName);
  InstallerDownload download(UpdateUrl(FSettings.installerBaseUrl, kInstallerPath), FSettings);
  // "Abort" may have been pressed while the dialog repainted, before there was anything to end.
  if (FSession.DownloadCancelled) throw UpdateError(kCancelledMessage);
  FDownload = &download;
  try {
    download.Run([&](std::string_view chunk) { file.Write(chunk); },
                 [&](const DownloadWork& work) { HttpWork(work); });
  } catch (...) {
    FDownload = nullptr;
    throw;
  }
  FDownload = nullptr;
  file.Close();
  if (!file.StillThere()) throw UpdateError("Cannot find downloaded file.");
  file.Keep();
  return file.Path();
}

void TfrmNewVersion::HttpWork(const DownloadWork& work) {
  if (FSession.DownloadCancelled) throw UpdateError(kCancelledMessage);
  if (work.transferEncoding.find("chunked") != std::string::npos || work.declaredLength <= 0) {
    return;
  }
  SetProgress(static_cast<int>(work.received * 100 / work.declaredLength));
  QCoreApplication::processEvents();
}

void TfrmNewVersion::SetProgress(int position) {
  ProgressBar1->setValue(position);
  ProgressBar1->repaint();
}

}  // namespace parvolane
