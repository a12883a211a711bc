#include "engine/dir_paths.h"

#include <algorithm>
#include <charconv>
#include <stdexcept>

#include "engine/file_digest.h"
#include "engine/paths.h"
#include "engine/text_case.h"

namespace parvolane {

namespace {

constexpr unsigned char UpperAscii(unsigned char c) {
  return c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c - 32) : c;
}

// The separator sorts before every other character, so that a folder's contents come right
// after it: "A", "A/x", "A - Copy", not "A", "A - Copy", "A/x".
constexpr int PathOrderKey(unsigned char c) {
  return c == '/' ? -1 : UpperAscii(c);
}

constexpr char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

bool IsAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

std::string NormalizeDirPath(std::string_view path) {
  std::string out = MakeAbsolutePath(path);
  if (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

std::string EntryName(std::string_view path) {
  std::string_view trimmed = path;
  if (!trimmed.empty() && trimmed.back() == '/') trimmed.remove_suffix(1);
  const size_t slash = trimmed.rfind('/');
  const std::string_view last =
      slash == std::string_view::npos ? trimmed : trimmed.substr(slash + 1);
  return LowerCaseUnicode(last.empty() ? path : last);
}

bool HasAncestorIn(std::string_view path, const PathSet& set) {
  const std::string normalized = NormalizeDirPath(path);
  std::string_view current = normalized;
  while (current != "/") {
    const size_t slash = current.rfind('/');
    if (slash == std::string_view::npos) return false;
    // The part before "/name" is the parent; before a top-level name that is the root.
    current = slash == 0 ? std::string_view("/") : current.substr(0, slash);
    if (set.contains(current)) return true;
  }
  return false;
}

bool PathLess(std::string_view a, std::string_view b) {
  const size_t common = std::min(a.size(), b.size());
  for (size_t i = 0; i < common; ++i) {
    const int ca = PathOrderKey(static_cast<unsigned char>(a[i]));
    const int cb = PathOrderKey(static_cast<unsigned char>(b[i]));
    if (ca != cb) return ca < cb;
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;  // only letter case differs: byte order keeps the order total
}

bool AnalysisLess(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return a.size() > b.size();
  return PathLess(a, b);
}

void SignatureTextBuilder::Clear() {
  FLines.clear();
  FSpans.clear();
  FText.clear();
}

void SignatureTextBuilder::AddFile(std::string_view name, int64_t size) {
  BeginLine();
  AppendLiteral("F|");
  AppendName(name);
  AppendLiteral("|");
  AppendNumber(size);
}

void SignatureTextBuilder::AddFolder(std::string_view name, std::string_view signature,
                                     int64_t size) {
  BeginLine();
  AppendLiteral("D|");
  AppendName(name);
  AppendLiteral("|");
  AppendLiteral(signature.empty() ? std::string_view("!UNKNOWN_CHILD_SIG!") : signature);
  AppendLiteral("|");
  AppendNumber(size);
}

void SignatureTextBuilder::AddFilesAccessError() {
  BeginLine();
  AppendLiteral("!FILES_ACCESS_ERROR!");
}

void SignatureTextBuilder::AddDirsAccessError() {
  BeginLine();
  AppendLiteral("!DIRS_ACCESS_ERROR!");
}

std::string_view SignatureTextBuilder::Text() {
  const std::string_view lines = FLines;
  const auto lineOf = [lines](const std::pair<size_t, size_t>& span) {
    return lines.substr(span.first, span.second);
  };
  std::sort(FSpans.begin(), FSpans.end(),
            [&lineOf](const auto& a, const auto& b) { return lineOf(a) < lineOf(b); });
  FText.clear();
  FText.reserve(FLines.size() + 2 * FSpans.size());
  for (const auto& span : FSpans) {
    FText += lineOf(span);
    FText += "\r\n";
  }
  return FText;
}

void SignatureTextBuilder::BeginLine() {
  FSpans.emplace_back(FLines.size(), 0);
}

void SignatureTextBuilder::AppendName(std::string_view name) {
  std::string lowered;
  if (!IsAscii(name)) {
    lowered = LowerCaseUnicode(name);
    name = lowered;
  }
  for (const char c : name) {
    if (c == '\n') {
      FLines += "\\n";
    } else if (c == '\\') {
      FLines += "\\\\";
    } else {
      FLines += LowerAscii(c);
    }
  }
  FSpans.back().second = FLines.size() - FSpans.back().first;
}

void SignatureTextBuilder::AppendNumber(int64_t value) {
  char digits[24];
  const auto result = std::to_chars(std::begin(digits), std::end(digits), value);
  AppendLiteral(std::string_view(digits, static_cast<size_t>(result.ptr - digits)));
}

void SignatureTextBuilder::AppendLiteral(std::string_view text) {
  FLines += text;
  FSpans.back().second = FLines.size() - FSpans.back().first;
}

std::string SignatureOfText(std::string_view text) {
  return Sha1Hex(text);
}

}  // namespace parvolane
