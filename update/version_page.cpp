#include "update/version_page.h"

#include <charconv>

namespace parvolane {

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

std::string Replace(std::string_view pattern, std::string_view value) {
  std::string text(pattern);
  const auto at = text.find("%s");
  if (at != std::string::npos) text.replace(at, 2, value);
  return text;
}

}  // namespace

std::vector<std::string> SplitPageLines(std::string_view body) {
  if (body.substr(0, kUtf8Bom.size()) == kUtf8Bom) body.remove_prefix(kUtf8Bom.size());
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < body.size()) {
    const std::size_t end = body.find_first_of("\r\n", start);
    if (end == std::string_view::npos) {
      lines.emplace_back(body.substr(start));
      break;
    }
    lines.emplace_back(body.substr(start, end - start));
    start = end + 1;
    if (body[end] == '\r' && start < body.size() && body[start] == '\n') ++start;
  }
  return lines;
}

std::optional<int> ParseWholeNumber(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return std::nullopt;
  text.remove_prefix(first);
  // from_chars takes a minus sign but not a plus sign.
  if (text.front() == '+') {
    text.remove_prefix(1);
    if (text.empty() || text.front() == '-') return std::nullopt;
  }
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<VersionLine> ParseVersionLine(std::string_view firstLine) {
  const std::size_t slash = firstLine.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  const std::string_view latestText = firstLine.substr(0, slash);
  const auto latest = ParseWholeNumber(latestText);
  const auto minimum = ParseWholeNumber(firstLine.substr(slash + 1));
  if (!latest || !minimum) return std::nullopt;
  return VersionLine{std::string(latestText), *latest, *minimum};
}

std::string DisplayVersion(std::string_view latestText) {
  std::string text(latestText);
  if (!text.empty()) text.insert(text.size() - 1, ".");
  return text;
}

std::optional<NewVersionNotice> DecideNewVersion(const VersionLine& version,
                                                 const std::vector<std::string>& changeLines,
                                                 int programVersionNumber) {
  NewVersionNotice notice;
  const std::string display = DisplayVersion(version.latestText);
  if (version.minimum > programVersionNumber) {
    notice.required = true;
    notice.message = Replace(
        "This version of the software is out of date. You must download the current version %s "
        "to continue using the software.",
        display);
  } else if (version.latest > programVersionNumber) {
    notice.message = Replace("The new version %s is available", display);
  } else {
    return std::nullopt;
  }
  notice.message += "\r\n\r\nWhat's new:\r\n";
  for (const std::string& line : changeLines) {
    if (line.empty()) continue;
    notice.message += line;
    notice.message += "\r\n";
  }
  return notice;
}

std::optional<NewVersionNotice> EvaluateVersionPages(std::string_view versionPage,
                                                     std::string_view changesPage,
                                                     int programVersionNumber) {
  const std::vector<std::string> versionLines = SplitPageLines(versionPage);
  if (versionLines.empty()) return std::nullopt;
  const auto version = ParseVersionLine(versionLines.front());
  if (!version) return std::nullopt;
  return DecideNewVersion(*version, SplitPageLines(changesPage), programVersionNumber);
}

}  // namespace parvolane
