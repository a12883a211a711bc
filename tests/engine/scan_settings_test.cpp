#include "engine/scan_settings.h"

#include <gtest/gtest.h>

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

TEST(FormatSizeMB, RoundsHalfAwayFromZeroWithTheGivenSeparator) {
  const struct {
    int64_t bytes;
    const char* text;
  } cases[] = {
      {-1, "0"},
      {0, "0.00 MB"},
      {1048576, "1.00 MB"},
      {1572864, "1.50 MB"},
      {131072, "0.13 MB"},  // exactly 0.125
      {5368709120, "5120.00 MB"},
      {1048575, "1.00 MB"},
      {5242, "0.00 MB"},
      {5243, "0.01 MB"},
      {1099511627776, "1048576.00 MB"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(FormatSizeMB(c.bytes, "."), c.text) << c.bytes;
  EXPECT_EQ(FormatSizeMB(1572864, ","), "1,50 MB");
}

TEST(CompareModeFromIndex, UnknownIndexesReadAsContent) {
  EXPECT_EQ(CompareModeFromIndex(0), CompareMode::cmName);
  EXPECT_EQ(CompareModeFromIndex(1), CompareMode::cmSize);
  EXPECT_EQ(CompareModeFromIndex(2), CompareMode::cmNameAndSize);
  EXPECT_EQ(CompareModeFromIndex(3), CompareMode::cmContent);
  EXPECT_EQ(CompareModeFromIndex(-1), CompareMode::cmContent);
  EXPECT_EQ(CompareModeFromIndex(7), CompareMode::cmContent);
}

}  // namespace
}  // namespace parvolane
