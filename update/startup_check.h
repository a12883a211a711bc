#pragma once

namespace parvolane {

/// The version check of the start-up: asks the vendor's server for a newer version and, when
/// there is one, shows the new-version dialog. Returns false when the program must end now
/// (a required update refused, or "Update Now" pressed), true to go on to the main window.
bool RunStartupUpdateCheck();

}  // namespace parvolane
