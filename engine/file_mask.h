#pragma once

#include <bitset>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace parvolane {

/// True when the mask may be used for a walk: not empty or blank, and free of the characters
/// that cannot stand in a file name (control characters, '"', '/', ':', '<', '>', '\', '|').
bool IsValidMask(std::string_view mask);

/// A compiled file mask. '*' matches any run, '?' one character (nothing after a '*'), sets
/// such as [a-z] and [!a-z] one character of (or outside) the set; ASCII letters match
/// regardless of case; "*.*" matches every name. Names are matched character by character
/// (UTF-8 code points; bytes that are not valid UTF-8 stand for themselves).
class FileMask final {
 public:
  explicit FileMask(std::string mask);
  /// Errors: std::invalid_argument when the mask holds a malformed set (raised on the first
  /// call, as the mask is compiled lazily).
  bool Matches(std::string_view name) const;
  const std::string& Text() const { return FText; }
  /// Why the mask cannot be used (a character that cannot stand in a file name, a blank mask,
  /// a malformed set), as a phrase such as "the set has no closing bracket"; nothing when the
  /// mask is fine.
  static std::optional<std::string> Problem(std::string_view mask);

 private:
  struct Token {
    enum KindType : uint8_t { Literal, AnyOne, AnyRun, Set };
    KindType Kind = Literal;
    bool Negated = false;
    char32_t Char = 0;         // Literal: the character, ASCII letters upper-cased
    std::bitset<256> Members;  // Set: characters with codes up to 255
  };
  static Token MakeToken(Token::KindType kind) {
    Token token{};
    token.Kind = kind;
    return token;
  }
  // Reads the set that opens at mask[i] into `set` and moves i to its closing bracket;
  // returns why the set is malformed instead, leaving i alone.
  static const char* ParseSet(const std::u32string& mask, size_t& i, Token& set);
  void Compile() const;
  bool MatchTokens(const std::u32string& name) const;

  std::string FText;
  bool FMatchAll = false;
  mutable bool FCompiled = false;
  mutable std::vector<Token> FTokens;
};

/// Decodes UTF-8 into code points; a byte that is not part of a valid sequence becomes a value
/// above the Unicode range, so that it matches only itself.
std::u32string DecodeUtf8Lossless(std::string_view text);

}  // namespace parvolane
