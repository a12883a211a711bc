#pragma once

#include <memory>

#include "platform/services.h"

class QWidget;

namespace parvolane {

/// The real dialogs, owned by `parent` (the main window; nullptr before it exists).
std::unique_ptr<DialogService> CreateDesktopDialogs(QWidget* parent);
/// The real desktop actions: the freedesktop.org trash, the file manager over D-Bus, the
/// browser and the file manager through the desktop's URL handlers.
std::unique_ptr<ShellService> CreateDesktopShell();

}  // namespace parvolane
