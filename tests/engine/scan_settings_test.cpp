#include "engine/scan_settings.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace parvolane {
namespace {

struct MaskCase {
  const char* text;
  std::vector<std::string> masks;
};

TEST(ParseMasks, SplitsTrimsAndDefaults) {
  const MaskCase cases[] = {
      {"", {"*.*"}},
      {"   ", {"*.*"}},
      {";,| ;;", {"*.*"}},
      {"*.jpg;*.png", {"*.jpg", "*.png"}},
      {"*.jpg|*.png *.gif,*.bmp", {"*.jpg", "*.png", "*.gif", "*.bmp"}},
      {"*.jpg,*.JPG", {"*.jpg", "*.JPG"}},
      {"My Photos*.jpg", {"My", "Photos*.jpg"}},
      {"\"*.jpg\"", {"*.jpg"}},
      {"\"a,b\",c", {"a,b", "c"}},
      {"\"a\"\"b\"", {"a\"b"}},
      {"\"ab\"cd,e", {"ab", "cd", "e"}},
      {"\"open", {"open"}},
      {"\t*.txt\t", {"*.txt"}},
      {"*.a;*.a", {"*.a", "*.a"}},
  };
  for (const MaskCase& c : cases) {
    EXPECT_EQ(ParseMasks(c.text), c.masks) << "mask text: [" << c.text << "]";
  }
}

TEST(FormatSizeMB, RoundsHalfUpOnTheExactValueWithTheGivenSeparator) {
  // Expected texts are bytes / 2^20 as an exact decimal rounded half up to two places; the
  // large values sit where a double no longer holds every byte count.
  const struct {
    int64_t bytes;
    const char* text;
  } cases[] = {
      {INT64_MIN, "0"},
      {-1, "0"},
      {0, "0.00 MB"},
      {1, "0.00 MB"},
      {5242, "0.00 MB"},  // 0.0049999...
      {5243, "0.01 MB"},
      {15728, "0.01 MB"},  // 0.0149993...
      {15729, "0.02 MB"},
      {131071, "0.12 MB"},
      {131072, "0.13 MB"},  // exactly 0.125
      {393216, "0.38 MB"},  // exactly 0.375
      {917504, "0.88 MB"},  // exactly 0.875
      {1043333, "0.99 MB"},
      {1048575, "1.00 MB"},
      {1048576, "1.00 MB"},
      {1572864, "1.50 MB"},
      {5368709120, "5120.00 MB"},
      {1099511627776, "1048576.00 MB"},
      {9007199254740991, "8589934592.00 MB"},  // 2^53 - 1
      {9007199254740993, "8589934592.00 MB"},
      {9007199254756721, "8589934592.02 MB"},
      {9007199254872063, "8589934592.12 MB"},
      {9007199254872064, "8589934592.13 MB"},  // exactly ...0.125
      {1000000000000000000, "953674316406.25 MB"},
      {9223372036853727232, "8796093022207.00 MB"},  // 2^63 - 2^20
      {9223372036854644735, "8796093022207.87 MB"},
      {9223372036854644736, "8796093022207.88 MB"},  // exactly ...0.875
      {INT64_MAX, "8796093022208.00 MB"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(FormatSizeMB(c.bytes, "."), c.text) << c.bytes;
  EXPECT_EQ(FormatSizeMB(1572864, ","), "1,50 MB");
  EXPECT_EQ(FormatSizeMB(INT64_MAX, "\u066B"), "8796093022208\u066B00 MB");
}

// Settings files and scripts already hold these numbers and names: they must keep meaning the
// same modes.
TEST(CompareModes, StoredNumbersAndCliNamesKeepTheirModes) {
  const struct {
    CompareMode mode;
    int number;
    const char* cliName;
  } cases[] = {
      {CompareMode::cmName, 0, "name"},
      {CompareMode::cmSize, 1, "size"},
      {CompareMode::cmNameAndSize, 2, "name-size"},
      {CompareMode::cmContent, 3, "content"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(InfoOf(c.mode).StoredNumber, c.number) << c.cliName;
    EXPECT_EQ(InfoOf(c.mode).CliName, c.cliName);
    EXPECT_EQ(CompareModeFromStoredNumber(c.number), c.mode) << c.cliName;
    EXPECT_EQ(CompareModeFromCliName(c.cliName), c.mode);
  }
  for (const int unknown : {-1, 4, 7})
    EXPECT_EQ(CompareModeFromStoredNumber(unknown), std::nullopt) << unknown;
  for (const char* unknown : {"", "Content", "sha1", "name size"})
    EXPECT_EQ(CompareModeFromCliName(unknown), std::nullopt) << unknown;
  EXPECT_EQ(CompareModeCliNames("|"), "name|size|name-size|content");
  EXPECT_EQ(ScanSettings{}.Mode, CompareMode::cmContent);
}

}  // namespace
}  // namespace parvolane
