// Fuzzes the version-page parser and the new-version verdict. Input: the version page, a NUL,
// then the changes page.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "fuzz/fuzz_input.h"
#include "update/version_page.h"

using namespace parvolane;

namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto [versionPage, changesPage] = fuzzing::SplitAtNul(data, size);

  for (const std::string& line : SplitPageLines(changesPage)) {
    if (line.find_first_of("\r\n") != std::string::npos) std::abort();
  }
  const auto notice = EvaluateVersionPages(versionPage, changesPage, 10);
  if (!notice) return 0;
  const std::string_view message = notice->message;
  const bool required = StartsWith(message, "This version of the software is out of date.");
  const bool optional = StartsWith(message, "The new version ");
  if (required == optional || required != notice->required) std::abort();
  if (message.find("\r\n\r\nWhat's new:\r\n") == std::string_view::npos) std::abort();
  if (message.size() < 2 || message.substr(message.size() - 2) != "\r\n") std::abort();
  // A verdict needs a first line with a '/' and two numbers, one of them above ours.
  const auto lines = SplitPageLines(versionPage);
  if (lines.empty()) std::abort();
  const auto version = ParseVersionLine(lines.front());
  if (!version || (version->latest <= 10 && version->minimum <= 10)) std::abort();
  return 0;
}
