// Fuzzes the mask-text splitter and the mask matcher. Input: mask text, a NUL, then a name.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

#include "engine/file_mask.h"
#include "engine/scan_settings.h"
#include "fuzz/fuzz_input.h"

using namespace parvolane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto [maskText, name] = fuzzing::SplitAtNul(data, size);

  const auto masks = ParseMasks(maskText);
  if (masks.empty()) std::abort();
  for (const std::string& mask : masks) {
    if (mask.empty() || mask.find_first_of(" ;|") != std::string::npos) std::abort();
    try {
      const bool matches = FileMask(mask).Matches(name);
      // A mask without wildcards or sets matches the identical name.
      if (mask == name && mask.find_first_of("*?[") == std::string::npos && !matches) {
        std::abort();
      }
    } catch (const std::invalid_argument&) {
      // A malformed set is the one error the matcher may raise.
    }
  }
  if (!FileMask("*.*").Matches(name) || !FileMask("*").Matches(name)) std::abort();
  return 0;
}
