#pragma once

#include <QList>
#include <QSslCertificate>
#include <chrono>
#include <cstdint>
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

/// The longest the start-up check may take in all, whatever the server does; the main window
/// then opens as after any failed check.
inline constexpr std::chrono::milliseconds kStartupCheckDeadline{5000};
/// A longer version or changes page is not one of ours (a version page is one line).
inline constexpr std::int64_t kPageSizeLimit = 64 * 1024;
/// Far above any installer we ship; a server that sends more is refused, not trusted to stop.
inline constexpr std::int64_t kInstallerSizeLimit = std::int64_t(1) << 30;

/// Where and how the update check talks to the vendor. The start-up uses the build's host;
/// tests point the addresses at servers of their own and shorten the limits.
struct UpdateSettings {
  /// The vendor's web host (with a port when it has one); the web site opened after a failed
  /// download is "https://" + webHost.
  std::string webHost;
  /// Scheme, host and port that the version and changes pages are fetched from.
  std::string baseUrl;
  /// Scheme, host and port that the installer is fetched from; anything but https is refused,
  /// since the installer is run as it arrives.
  std::string installerBaseUrl;
  /// Longest wait for data while fetching the version and changes pages.
  std::chrono::milliseconds readTimeout{10000};
  /// Longest time for both pages together.
  std::chrono::milliseconds checkDeadline = kStartupCheckDeadline;
  /// Longest wait for data while the installer downloads; a stalled server would otherwise
  /// keep the dialog open for ever.
  std::chrono::milliseconds downloadStallTimeout{60000};
  /// The installer download fails once the server sends more than this.
  std::int64_t installerSizeLimit = kInstallerSizeLimit;
  /// Authorities trusted for the installer's server besides the system's. Always empty in the
  /// program; tests trust an authority of their own here instead of weakening any check.
  QList<QSslCertificate> extraAuthorities;
  /// The running program's version in tenths (10 = 1.0).
  int programVersionNumber = ProgramVersionNumber;
};

/// The settings of this build: the host it was configured with, the pages over plain HTTP, the
/// installer over HTTPS, the usual limits.
UpdateSettings DefaultUpdateSettings();

inline constexpr const char* kUpdateUserAgent = "Mozilla/4.0 (compatible; MyApp)";
inline constexpr const char* kVersionPagePath = "/download/version/parvolane-version.html";
inline constexpr const char* kChangesPagePath = "/download/version/parvolane-changes.html";
inline constexpr const char* kInstallerPath = "/download/parvolane.exe";
inline constexpr const char* kInstallerFileName = "orv_update.exe";

}  // namespace parvolane
