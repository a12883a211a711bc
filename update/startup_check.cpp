#include "update/startup_check.h"

#include <memory>

#include "platform/desktop_services.h"
#include "update/new_version_dialog.h"
#include "update/version_check.h"

namespace parvolane {

bool RunStartupUpdateCheck() {
  UpdateSession session;
  const UpdateSettings settings = DefaultUpdateSettings();
  if (!CheckForNewVersion(session, settings)) return true;
  const std::unique_ptr<DialogService> dialogs = CreateDesktopDialogs(nullptr);
  const std::unique_ptr<ShellService> shell = CreateDesktopShell();
  auto dialog = std::make_unique<TfrmNewVersion>(session, settings, *dialogs, *shell);
  dialog->exec();
  const int tag = dialog->Tag();
  dialog.reset();
  return tag != 0;
}

}  // namespace parvolane
