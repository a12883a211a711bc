#pragma once

#include <QDialog>
#include <string>

#include "platform/services.h"
#include "update/update_session.h"

class QPlainTextEdit;
class QProgressBar;
class QPushButton;

namespace parvolane {

class InstallerDownload;
struct DownloadWork;

/// The new-version dialog: the news of a newer version, "Update Now" and "Skip" (an optional
/// update) or "Exit" (a required one). Its Tag is the outcome for the start-up: 1 = go on,
/// 0 = end the program.
class TfrmNewVersion final : public QDialog {
  Q_OBJECT

 public:
  TfrmNewVersion(UpdateSession& session, UpdateSettings settings, DialogService& dialogs,
                 ShellService& shell);
  ~TfrmNewVersion() override;

  int Tag() const { return FTag; }

  /// "Skip" / "Exit" close the dialog; "Abort" ends a running download.
  void btCancelClick();
  /// Downloads the installer, starts it and closes the dialog; after a failure shows the error
  /// and opens the vendor's web site instead. The program ends either way.
  void btUpdateNowClick();

 public slots:
  /// Escape must not close the dialog.
  void reject() override {}

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void FormShow();
  void FormClose();
  void HttpWork(const DownloadWork& work);
  void SetProgress(int position);
  /// The installer's path once it is complete, still in place and executable; throws
  /// UpdateError.
  std::string DownloadInstaller();

  UpdateSession& FSession;
  UpdateSettings FSettings;
  DialogService& FDialogs;
  ShellService& FShell;
  int FTag = 1;
  /// From "Update Now" until the download has ended.
  bool FDownloading = false;
  /// The transfer that "Abort" ends, while it runs.
  InstallerDownload* FDownload = nullptr;

  QWidget* VirtualImage1;
  QPlainTextEdit* Label1;  // the change list
  QProgressBar* ProgressBar1;
  QPushButton* btUpdateNow;
  QPushButton* btCancel;
};

}  // namespace parvolane
