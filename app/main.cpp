#include <QApplication>
#include <QFile>
#include <QIcon>

#include "platform/desktop_services.h"
#include "platform/program_info.h"
#include "ui/main_form.h"
#include "update/startup_check.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QString::fromUtf8(parvolane::ApplicationTitle));
  QApplication::setOrganizationName(QStringLiteral("parvolane"));
  // No display name: the desktop would append it to every caption, the window's included.
  QApplication::setDesktopFileName(QStringLiteral("parvolane"));

  const QString settingsFile = parvolane::TMainForm::DefaultSettingsFile();
  // A plain way back to the first-start window: the remembered folders and options go.
  if (QApplication::arguments().contains(QStringLiteral("--reset-settings")))
    QFile::remove(settingsFile);

  if (!parvolane::RunStartupUpdateCheck()) return 0;

  parvolane::TMainForm window;
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/parvolane.svg")));
  window.SetServices(parvolane::CreateDesktopDialogs(&window), parvolane::CreateDesktopShell());
  window.RememberSettingsIn(settingsFile);
  window.show();
  QApplication::exec();
  return 0;
}
