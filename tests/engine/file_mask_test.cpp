#include "engine/file_mask.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace parvolane {
namespace {

TEST(FileMask, MatchesAsTheWindowDescribes) {
  const struct {
    const char* mask;
    const char* name;
    bool matches;
  } cases[] = {
      {"*.*", "README", true},
      {"*.*", ".hidden", true},
      {"*.JPG", "photo.jpg", true},
      {"*.jpg", "PHOTO.JPG", true},
      {"*.jpg", "photo.jpeg", false},
      {"*.tx?", "notes.txt", true},
      {"*.tx?", "notes.tx", false},
      {"[a-c]*", "Bob.txt", true},
      {"[a-c]*", "dave.txt", false},
      {"[!a-c]*", "dave.txt", true},
      {"[!a-c]*", "Bob.txt", false},
      {"*?.txt", ".txt", true},  // a question mark after an asterisk adds nothing
      {"*??.txt", ".txt", true},
      {"?.txt", ".txt", false},
      {"a?c", "abc", true},
      {"a?c",
       "a\xC3\xA9"
       "c",
       true},                                     // one character, two bytes
      {"\xC3\xA9*", "\xC3\x89t\xC3\xA9", false},  // non-ASCII letters match exactly
      {"\xC3\xA9*", "\xC3\xA9t\xC3\xA9", true},
      {"*", "", true},
      {"a*b*c", "aXbYbZc", true},
      {"a*b*c", "aXbYbZ", false},
      {"[xyz]", "Y", true},
      {"bad\xFF*",
       "bad\xFF"
       "name",
       true},  // bytes that are not UTF-8 stand for themselves
      {"bad\xFF*",
       "bad\xFE"
       "name",
       false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FileMask(c.mask).Matches(c.name), c.matches) << c.mask << " vs " << c.name;
  }
}

TEST(FileMask, MalformedSetRaisesOnFirstUse) {
  for (const char* mask : {"[abc", "[]", "[!]", "[-a]", "x[", "*.[!"}) {
    const FileMask fileMask(mask);  // building it is fine
    EXPECT_THROW(fileMask.Matches("abc"), std::invalid_argument) << mask;
  }
}

TEST(IsValidMask, RejectsCharactersThatCannotStandInANameAndBlanks) {
  for (const char* ok : {"*.*", "a?b", "[a-z]*", "My"})
    EXPECT_TRUE(IsValidMask(ok)) << ok;
  for (const char* bad : {"", "  ", "a:b", "a\\b", "a/b", "a\"b", "a<b", "a>b", "a|b", "a\tb"}) {
    EXPECT_FALSE(IsValidMask(bad)) << bad;
  }
}

}  // namespace
}  // namespace parvolane
