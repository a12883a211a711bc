// Fuzzes the folder signature text. Input: entries separated by 0x01; an entry is a kind byte
// ('F' file, 'D' folder, anything else an access error), a size byte and a name.
// The text must not depend on the order in which entries are added, and every entry must stand
// on a line of its own, whatever bytes the names hold.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "engine/dir_paths.h"

using namespace parvolane;

namespace {

struct Entry {
  char Kind;
  int64_t Size;
  std::string_view Name;
};

std::string TextOf(const std::vector<Entry>& entries) {
  SignatureTextBuilder builder;
  for (const Entry& e : entries) {
    if (e.Kind == 'F') {
      builder.AddFile(e.Name, e.Size);
    } else if (e.Kind == 'D') {
      builder.AddFolder(e.Name, e.Size % 2 == 0 ? std::string_view() : "0123456789", e.Size);
    } else if (e.Size % 2 == 0) {
      builder.AddFilesAccessError();
    } else {
      builder.AddDirsAccessError();
    }
  }
  return std::string(builder.Text());
}

size_t CountLines(std::string_view text) {
  size_t lines = 0;
  for (size_t pos = text.find("\r\n"); pos != std::string_view::npos;
       pos = text.find("\r\n", pos + 2)) {
    ++lines;
  }
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<Entry> entries;
  size_t start = 0;
  while (start < input.size() && entries.size() < 64) {
    const size_t end = std::min(input.find('\x01', start), input.size());
    const std::string_view piece = input.substr(start, end - start);
    if (piece.size() >= 2) {
      entries.push_back({piece[0], static_cast<unsigned char>(piece[1]), piece.substr(2)});
    }
    start = end + 1;
  }
  const std::string forward = TextOf(entries);
  std::reverse(entries.begin(), entries.end());
  if (TextOf(entries) != forward) std::abort();
  if (CountLines(forward) != entries.size()) std::abort();
  if (SignatureOfText(forward).size() != 40) std::abort();
  return 0;
}
