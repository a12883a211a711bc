#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace parvolane {

/// The lines of a page as the vendor's server sends it: UTF-8, a leading byte-order mark
/// skipped, lines ending with CR LF, LF or CR. A line break at the very end adds no empty line.
std::vector<std::string> SplitPageLines(std::string_view body);

/// A whole number as the version page writes it: blanks before it, an optional sign, decimal
/// digits and nothing after them. Nothing when the text is not such a number or does not fit.
std::optional<int> ParseWholeNumber(std::string_view text);

/// The first line of the version page: "latest/minimum", both in tenths of a version.
struct VersionLine {
  std::string latestText;
  int latest = 0;
  int minimum = 0;
};

/// Splits at the first "/"; nothing when either side is not a whole number.
std::optional<VersionLine> ParseVersionLine(std::string_view firstLine);

/// The version as people read it: "." before the last character (11 -> 1.1, 7 -> .7).
std::string DisplayVersion(std::string_view latestText);

/// What the dialog shows when the server announces a newer version.
struct NewVersionNotice {
  std::string message;
  /// The running version is below the server's minimum: the program ends unless it updates.
  bool required = false;
};

/// The headline, an empty line, "What's new:" and every non-empty change line, each line ended
/// with CR LF. Nothing when neither the latest nor the minimum version is above the running one.
std::optional<NewVersionNotice> DecideNewVersion(const VersionLine& version,
                                                 const std::vector<std::string>& changeLines,
                                                 int programVersionNumber);

/// Both pages as received, to the verdict; nothing for an empty or malformed version page.
/// Free of any network code, so that hostile pages can be fed to it directly.
std::optional<NewVersionNotice> EvaluateVersionPages(std::string_view versionPage,
                                                     std::string_view changesPage,
                                                     int programVersionNumber);

}  // namespace parvolane
