#pragma once

#include "update/update_session.h"

namespace parvolane {

/// Asks the vendor's server for the latest and the lowest usable version and the list of
/// changes. True when a newer version is announced: session.NewVersionMessage then holds the
/// dialog's text, and session.ExitAfterDialog is set when the update is required. Every failure
/// (no network, a time-out, an error status, a malformed page) yields false and shows nothing.
/// Blocks in a local event loop; needs a QCoreApplication but no window.
bool CheckForNewVersion(UpdateSession& session, const UpdateSettings& settings);

}  // namespace parvolane
