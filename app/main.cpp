#include <QApplication>
#include <QIcon>

#include "platform/desktop_services.h"
#include "platform/program_info.h"
#include "ui/main_form.h"
#include "update/startup_check.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QString::fromUtf8(parvolane::ApplicationTitle));
  // No display name: the desktop would append it to every caption, the window's included.
  QApplication::setDesktopFileName(QStringLiteral("parvolane"));

  if (!parvolane::RunStartupUpdateCheck()) return 0;

  parvolane::TMainForm window;
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/parvolane.svg")));
  window.SetServices(parvolane::CreateDesktopDialogs(&window), parvolane::CreateDesktopShell());
  window.show();
  QApplication::exec();
  return 0;
}
