#pragma once

#include <chrono>
#include <string>

#include "platform/program_info.h"

namespace parvolane {

/// What the version check, the new-version dialog and the start-up share during one run.
/// Kept in one object (not in globals) so that every check and every dialog of a test starts
/// from a clean state.
struct UpdateSession {
  /// The dialog's text; written by CheckForNewVersion when it returns true.
  std::string NewVersionMessage;
  /// When true at the moment the dialog closes, the program ends.
  bool ExitAfterDialog = false;
  /// Set by "Abort" while the installer downloads.
  bool DownloadCancelled = false;
};

/// Where and how the update check talks to the vendor. The start-up uses the build's host;
/// tests point the base address at a server of their own and shorten the time-outs.
struct UpdateSettings {
  /// The vendor's web host (with a port when it has one); the web site opened after a failed
  /// download is "https://" + webHost.
  std::string webHost;
  /// Scheme, host and port that the pages and the installer are fetched from.
  std::string baseUrl;
  /// Longest wait for data while fetching the version and changes pages.
  std::chrono::milliseconds readTimeout{10000};
  /// Longest wait for data while the installer downloads; a stalled server would otherwise
  /// keep the dialog open for ever.
  std::chrono::milliseconds downloadStallTimeout{60000};
  /// The running program's version in tenths (10 = 1.0).
  int programVersionNumber = ProgramVersionNumber;
};

/// The settings of this build: the host it was configured with, plain HTTP, the usual waits.
UpdateSettings DefaultUpdateSettings();

inline constexpr const char* kUpdateUserAgent = "Mozilla/4.0 (compatible; MyApp)";
inline constexpr const char* kVersionPagePath = "/download/version/parvolane-version.html";
inline constexpr const char* kChangesPagePath = "/download/version/parvolane-changes.html";
inline constexpr const char* kInstallerPath = "/download/parvolane.exe";
inline constexpr const char* kInstallerFileName = "orv_update.exe";

}  // namespace parvolane
