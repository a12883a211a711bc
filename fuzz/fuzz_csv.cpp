// Fuzzes the CSV writer against a strict reader: whatever the cells hold, reading the written
// text back must give the header and every cell unchanged. Input: cells separated by 0x01,
// rows by 0x02.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "results/csv_export.h"

using namespace parvolane;

namespace {

using Table = std::vector<std::vector<std::string>>;

// RFC 4180 with CR LF after every record; every data cell must be quoted, the header must not.
std::optional<Table> ReadStrict(std::string_view text, size_t headerFields) {
  if (text.substr(0, 3) != "\xEF\xBB\xBF") return std::nullopt;
  text.remove_prefix(3);
  const size_t headerEnd = text.find("\r\n");
  if (headerEnd == std::string_view::npos) return std::nullopt;
  size_t commas = 0;
  for (char c : text.substr(0, headerEnd))
    commas += c == ',' ? 1 : 0;
  if (commas + 1 != headerFields) return std::nullopt;
  text.remove_prefix(headerEnd + 2);
  Table rows;
  while (!text.empty()) {
    std::vector<std::string> row;
    while (true) {
      if (text.empty() || text[0] != '"') return std::nullopt;
      std::string cell;
      size_t i = 1;
      for (;; ++i) {
        if (i >= text.size()) return std::nullopt;
        if (text[i] != '"') {
          cell += text[i];
        } else if (i + 1 < text.size() && text[i + 1] == '"') {
          cell += '"';
          ++i;
        } else {
          break;
        }
      }
      row.push_back(std::move(cell));
      text.remove_prefix(i + 1);
      if (text.substr(0, 1) == ",") {
        text.remove_prefix(1);
        continue;
      }
      if (text.substr(0, 2) != "\r\n") return std::nullopt;
      text.remove_prefix(2);
      break;
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  Table rows;
  std::vector<std::string> row(1);
  for (char c : input) {
    if (c == '\x01') {
      row.emplace_back();
    } else if (c == '\x02') {
      rows.push_back(std::move(row));
      row.assign(1, std::string());
    } else {
      row.back() += c;
    }
  }
  rows.push_back(std::move(row));

  // The first piece of each record is a path, the count of its pieces a size: file rows and
  // folder rows take turns, and every cell a row writes must read back as it was made.
  ResultList list(FileListColumns());
  Table expected;
  for (size_t i = 0; i < rows.size(); ++i) {
    ResultRow listed;
    listed.GroupId = static_cast<int>(i);
    listed.IsFile = i % 2 == 0;
    listed.Path = rows[i].front();
    listed.Seen.Size = static_cast<int64_t>(rows[i].size()) << 19;
    expected.push_back(RowTexts(listed));
    list.AddRow(std::move(listed));
  }
  const auto read = ReadStrict(ListViewCsvText(list), list.Columns().size());
  if (!read || *read != expected) std::abort();
  return 0;
}
