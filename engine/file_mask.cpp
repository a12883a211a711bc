#include "engine/file_mask.h"

#include <optional>
#include <stdexcept>

#include "engine/text_case.h"

namespace parvolane {

namespace {

char32_t FoldAscii(char32_t c) {
  return (c >= U'a' && c <= U'z') ? c - 32 : c;
}

constexpr char32_t kRawByteBase = 0x110000;

}  // namespace

std::u32string DecodeUtf8Lossless(std::string_view text) {
  std::u32string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    const int length = DecodeUtf8At(text, i, cp);
    if (length > 0) {
      out.push_back(cp);
      i += static_cast<size_t>(length);
    } else {
      out.push_back(kRawByteBase + static_cast<unsigned char>(text[i]));
      ++i;
    }
  }
  return out;
}

// Why the characters of the mask cannot make a name; nothing when they can.
static std::optional<std::string> CharacterProblem(std::string_view mask) {
  bool blank = true;
  for (const char ch : mask) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 32 || c == 127) return std::string("it holds a control character");
    if (std::string_view("\"/:<>\\|").find(ch) != std::string_view::npos) {
      return "'" + std::string(1, ch) + "' cannot stand in a file name";
    }
    if (c != ' ') blank = false;
  }
  if (blank) return std::string("the mask is blank");
  return std::nullopt;
}

bool IsValidMask(std::string_view mask) {
  return !CharacterProblem(mask);
}

const char* FileMask::ParseSet(const std::u32string& mask, size_t& i, Token& set) {
  size_t j = i + 1;
  if (j < mask.size() && mask[j] == U'!') {
    set.Negated = true;
    ++j;
  }
  bool any = false;
  for (; j < mask.size() && mask[j] != U']'; ++j) {
    const char32_t lo = mask[j];
    if (lo == U'-') return "a range in the set has no first character";
    char32_t hi = lo;
    if (j + 2 < mask.size() && mask[j + 1] == U'-' && mask[j + 2] != U']') {
      hi = mask[j + 2];
      j += 2;
    }
    for (char32_t m = lo; m <= hi && m < 256; ++m) {
      set.Members.set(m);
      set.Members.set(FoldAscii(m));
      if (m >= U'A' && m <= U'Z') set.Members.set(m + 32);
    }
    any = true;
  }
  if (j == mask.size()) return "the set has no closing bracket";
  if (!any) return "the set is empty";
  i = j;
  return nullptr;
}

std::optional<std::string> FileMask::Problem(std::string_view mask) {
  if (std::optional<std::string> problem = CharacterProblem(mask)) return problem;
  const std::u32string text = DecodeUtf8Lossless(mask);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != U'[') continue;
    Token set = MakeToken(Token::Set);
    if (const char* problem = ParseSet(text, i, set)) return std::string(problem);
  }
  return std::nullopt;
}

FileMask::FileMask(std::string mask) : FText(std::move(mask)), FMatchAll(FText == "*.*") {}

void FileMask::Compile() const {
  const std::u32string mask = DecodeUtf8Lossless(FText);
  std::vector<Token> tokens;
  for (size_t i = 0; i < mask.size(); ++i) {
    const char32_t c = mask[i];
    if (c == U'*') {
      if (tokens.empty() || tokens.back().Kind != Token::AnyRun) {
        tokens.push_back(MakeToken(Token::AnyRun));
      }
    } else if (c == U'?') {
      // A question mark after an asterisk adds nothing.
      if (tokens.empty() || tokens.back().Kind != Token::AnyRun) {
        tokens.push_back(MakeToken(Token::AnyOne));
      }
    } else if (c == U'[') {
      Token set = MakeToken(Token::Set);
      if (const char* problem = ParseSet(mask, i, set)) {
        throw std::invalid_argument("Invalid mask '" + FText + "': " + problem);
      }
      tokens.push_back(set);
    } else {
      Token lit = MakeToken(Token::Literal);
      lit.Char = FoldAscii(c);
      tokens.push_back(lit);
    }
  }
  FTokens = std::move(tokens);
  FCompiled = true;
}

bool FileMask::Matches(std::string_view name) const {
  if (FMatchAll) return true;
  if (!FCompiled) Compile();
  return MatchTokens(DecodeUtf8Lossless(name));
}

bool FileMask::MatchTokens(const std::u32string& name) const {
  const auto one = [](const Token& t, char32_t c) {
    switch (t.Kind) {
      case Token::Literal:
        return t.Char == FoldAscii(c);
      case Token::AnyOne:
        return true;
      case Token::Set: {
        const bool member = c < 256 && t.Members.test(c);
        return member != t.Negated;
      }
      case Token::AnyRun:
        break;
    }
    return false;
  };
  // Classic wildcard matching with backtracking to the last run.
  size_t t = 0;
  size_t n = 0;
  size_t starToken = SIZE_MAX;
  size_t starName = 0;
  while (n < name.size()) {
    if (t < FTokens.size() && FTokens[t].Kind == Token::AnyRun) {
      starToken = t++;
      starName = n;
    } else if (t < FTokens.size() && one(FTokens[t], name[n])) {
      ++t;
      ++n;
    } else if (starToken != SIZE_MAX) {
      t = starToken + 1;
      n = ++starName;
    } else {
      return false;
    }
  }
  while (t < FTokens.size() && FTokens[t].Kind == Token::AnyRun)
    ++t;
  return t == FTokens.size();
}

}  // namespace parvolane
