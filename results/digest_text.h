#pragma once

#include <array>
#include <cstddef>
#include <iosfwd>
#include <string_view>

namespace parvolane {

/// A digest as text (40 hexadecimal digits for SHA-1), held inside its owner so that a million
/// records and rows cost no allocation for it; empty when never computed. It reads like a
/// short string.
class DigestText final {
 public:
  DigestText() = default;
  /// Errors: std::invalid_argument for a text longer than a SHA-1's 40 digits, or one holding
  /// a NUL byte.
  DigestText(std::string_view text);
  DigestText& operator=(std::string_view text) { return *this = DigestText(text); }

  std::string_view View() const { return {FText.data(), size()}; }
  operator std::string_view() const { return View(); }
  bool Empty() const { return FText[0] == '\0'; }
  bool empty() const { return Empty(); }
  size_t size() const;
  void clear() { FText.fill('\0'); }
  bool operator==(const DigestText& other) const { return FText == other.FText; }
  friend bool operator==(const DigestText& a, std::string_view b) { return a.View() == b; }

 private:
  // The text, NUL-padded: digests hold no NUL, so its length is where the padding starts.
  std::array<char, 40> FText{};
};

/// Prints the text (for test messages).
std::ostream& operator<<(std::ostream& out, const DigestText& digest);

}  // namespace parvolane
