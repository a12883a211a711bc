#pragma once

#include <bitset>
#include <cstdint>
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
