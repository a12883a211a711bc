// Placeholder until the main window lands.
#include <QApplication>

#include "update/startup_check.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("Parvolane");
  if (!parvolane::RunStartupUpdateCheck()) return 0;
  return 0;
}
