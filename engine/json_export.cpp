#include "engine/json_export.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <unordered_map>
#include <vector>

#include "engine/file_info.h"
#include "engine/text_case.h"

namespace parvolane {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// The length of the maximal prefix of a well-formed sequence at text[index] (at least 1):
// each such run becomes one U+FFFD, the same count that Python's and ICU's decoders replace,
// so that a script can reproduce "path" from "path_bytes".
size_t BadSequenceLength(std::string_view text, size_t index) {
  const auto lead = static_cast<unsigned char>(text[index]);
  size_t needed = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    needed = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    needed = 2;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    needed = 3;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  }
  size_t length = 1;
  while (length <= needed && index + length < text.size()) {
    const auto next = static_cast<unsigned char>(text[index + length]);
    if (next < low || next > high) break;
    low = 0x80;
    high = 0xBF;
    ++length;
  }
  return length;
}

void AppendEscaped(std::string& out, char c) {
  switch (c) {
    case '"':
      out += "\\\"";
      return;
    case '\\':
      out += "\\\\";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\t':
      out += "\\t";
      return;
    case '\r':
      out += "\\r";
      return;
    default:
      break;
  }
  const auto byte = static_cast<unsigned char>(c);
  if (byte < 0x20 || byte == 0x7F) {
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\u%04x", byte);
    out += escape;
  } else {
    out += c;
  }
}

void AppendStringLiteral(std::string& out, std::string_view text) {
  out += '"';
  size_t i = 0;
  while (i < text.size()) {
    char32_t codePoint = 0;
    const int length = DecodeUtf8At(text, i, codePoint);
    if (length == 0) {
      out += kReplacement;
      i += BadSequenceLength(text, i);
    } else if (length == 1) {
      AppendEscaped(out, text[i++]);
    } else {
      out.append(text.substr(i, static_cast<size_t>(length)));
      i += static_cast<size_t>(length);
    }
  }
  out += '"';
}

void AppendKey(std::string& out, std::string_view key) {
  out += '"';
  out += key;
  out += "\": ";
}

// A text from the file system: readable in `key`, and exact in `key`_bytes when the readable
// form had to replace something.
void AppendSystemText(std::string& out, std::string_view key, std::string_view text) {
  AppendKey(out, key);
  AppendStringLiteral(out, text);
  if (IsValidUtf8(text)) return;
  out += ", ";
  AppendKey(out, std::string(key) + "_bytes");
  out += '"' + Base64Text(text) + '"';
}

template <typename Number>
void AppendNumberField(std::string& out, std::string_view key, Number value) {
  AppendKey(out, key);
  out += std::to_string(value);
}

void AppendBoolField(std::string& out, std::string_view key, bool value) {
  AppendKey(out, key);
  out += value ? "true" : "false";
}

// Identity, size and time as the scan saw the entry; null each when it could not be queried.
void AppendSnapshot(std::string& out, const EntrySnapshot& seen) {
  if (!seen.Known) {
    out += R"("size": null, "device": null, "inode": null, "mtime_ns": null, "mtime": null)";
    return;
  }
  AppendNumberField(out, "size", seen.Size);
  out += ", ";
  AppendNumberField(out, "device", static_cast<unsigned long long>(seen.Id.Device));
  out += ", ";
  AppendNumberField(out, "inode", static_cast<unsigned long long>(seen.Id.Inode));
  out += ", ";
  AppendNumberField(out, "mtime_ns", seen.MTimeNs);
  out += ", ";
  AppendKey(out, "mtime");
  out += '"' + IsoUtcText(seen.MTimeNs) + '"';
}

void AppendFileRow(std::string& out, const ResultRow& row) {
  out += '{';
  AppendSystemText(out, "path", row.Path);
  out += ", ";
  AppendSystemText(out, "name", NameOfPath(row.Path));
  out += ", ";
  AppendSnapshot(out, row.Seen);
  out += ", ";
  AppendKey(out, "sha1");
  if (!row.Digest.Empty()) {
    AppendStringLiteral(out, row.Digest.View());
  } else {
    out += "null";
  }
  out += ", ";
  AppendBoolField(out, "checked", row.Checked);
  out += '}';
}

void AppendFolderRow(std::string& out, const ResultRow& row) {
  out += '{';
  AppendSystemText(out, "path", row.Path);
  out += ", ";
  AppendSnapshot(out, row.Seen);
  if (!row.Digest.Empty()) {
    out += ", ";
    AppendSystemText(out, "signature", row.Digest.View());
  }
  out += ", ";
  AppendBoolField(out, "checked", row.Checked);
  out += '}';
}

using RowWriter = void (*)(std::string&, const ResultRow&);

// The rows of each group in list order; groups in the list's order, then (never in a list a
// scan made) any group a row names that the list no longer holds, so that no row is lost.
std::vector<std::pair<int, std::vector<const ResultRow*>>> RowsByGroup(const ResultList& list) {
  std::vector<std::pair<int, std::vector<const ResultRow*>>> groups;
  std::unordered_map<int, size_t> indexOf;
  for (const ResultGroup& group : list.Groups()) {
    indexOf.emplace(group.Id, groups.size());
    groups.push_back({group.Id, {}});
  }
  for (const ResultRow& row : list.Rows()) {
    const auto [found, added] = indexOf.emplace(row.GroupId, groups.size());
    if (added) groups.push_back({row.GroupId, {}});
    groups[found->second].second.push_back(&row);
  }
  return groups;
}

// The bytes of every member, or null when the scan could not size one of them.
void AppendTotalSize(std::string& out, const std::vector<const ResultRow*>& rows) {
  int64_t total = 0;
  for (const ResultRow* row : rows) {
    if (!row->Seen.Known) {
      out += R"("total_size": null)";
      return;
    }
    total += row->Seen.Size;
  }
  AppendNumberField(out, "total_size", total);
}

void AppendGroups(std::string& out, const ResultList& list, std::string_view rowsKey,
                  RowWriter writeRow) {
  const auto groups = RowsByGroup(list);
  out += groups.empty() ? "[]" : "[\n";
  for (size_t g = 0; g < groups.size(); ++g) {
    out += "    {";
    AppendNumberField(out, "group", groups[g].first);
    out += ", ";
    AppendTotalSize(out, groups[g].second);
    out += ", ";
    AppendKey(out, rowsKey);
    out += '[';
    for (const ResultRow* row : groups[g].second) {
      out += row == groups[g].second.front() ? "\n      " : ",\n      ";
      writeRow(out, *row);
    }
    out += groups[g].second.empty() ? "]}" : "\n    ]}";
    out += g + 1 < groups.size() ? ",\n" : "\n  ]";
  }
}

std::string KindKey(SkipKind kind) {
  std::string key(SkipKindName(kind));
  for (char& c : key) {
    if (c == ' ') c = '_';
  }
  return key;
}

void AppendSkipCounts(std::string& out, const SkipLog& skipped) {
  AppendKey(out, "skipped");
  out += '{';
  for (size_t k = 0; k < kSkipKindCount; ++k) {
    const auto kind = static_cast<SkipKind>(k);
    AppendNumberField(out, KindKey(kind), skipped.Count(kind));
    out += ", ";
  }
  AppendNumberField(out, "total", skipped.Total());
  out += '}';
}

void AppendSkippedEntries(std::string& out, const SkipLog& skipped) {
  const std::vector<SkippedEntry> kept = skipped.Kept();
  AppendKey(out, "skipped_entries");
  out += kept.empty() ? "[]" : "[";
  for (size_t i = 0; i < kept.size(); ++i) {
    out += i == 0 ? "\n      {" : ",\n      {";
    AppendKey(out, "kind");
    out += '"' + KindKey(kept[i].Kind) + "\", ";
    AppendSystemText(out, "path", kept[i].Path);
    out += ", ";
    AppendKey(out, "message");
    AppendStringLiteral(out, kept[i].Message);
    out += '}';
  }
  if (!kept.empty()) out += "\n    ]";
}

void AppendFolderErrors(std::string& out, const std::vector<std::string>& errors) {
  AppendKey(out, "folder_errors");
  out += errors.empty() ? "[]" : "[";
  for (size_t i = 0; i < errors.size(); ++i) {
    out += i == 0 ? "\n      " : ",\n      ";
    AppendStringLiteral(out, errors[i]);
  }
  if (!errors.empty()) out += "\n    ]";
}

void AppendSummary(std::string& out, const ScanSummary& summary) {
  out += "{\n    ";
  AppendSkipCounts(out, summary.Skipped);
  out += ",\n    ";
  AppendSkippedEntries(out, summary.Skipped);
  out += ",\n    ";
  AppendFolderErrors(out, summary.FolderErrors);
  out += ",\n    ";
  AppendNumberField(out, "file_groups_cut", summary.FileGroupsCut);
  out += ",\n    ";
  AppendNumberField(out, "folder_groups_cut", summary.DirGroupsCut);
  out += ",\n    ";
  AppendNumberField(out, "folders_left_out", summary.FoldersLeftOut);
  out += "\n  }";
}

}  // namespace

std::string ScanJsonText(const ResultList& files, const ResultList& dirs,
                         const ScanSummary& summary, JsonLookedFor lookedFor) {
  std::string out = "{\n  ";
  AppendKey(out, "format");
  out += "\"parvolane-scan\",\n  ";
  AppendNumberField(out, "format_version", 1);
  out += ",\n  ";
  AppendKey(out, "program_version");
  AppendStringLiteral(out, PARVOLANE_VERSION_TEXT);
  out += ",\n  ";
  AppendKey(out, "looked_for");
  out += '{';
  AppendBoolField(out, "file_clones", lookedFor.FileClones);
  out += ", ";
  AppendBoolField(out, "folder_clones", lookedFor.FolderClones);
  out += "},\n  ";
  AppendKey(out, "file_groups");
  AppendGroups(out, files, "files", AppendFileRow);
  out += ",\n  ";
  AppendKey(out, "folder_groups");
  AppendGroups(out, dirs, "folders", AppendFolderRow);
  out += ",\n  ";
  AppendKey(out, "summary");
  AppendSummary(out, summary);
  out += "\n}\n";
  return out;
}

std::string JsonStringLiteral(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  AppendStringLiteral(out, text);
  return out;
}

bool IsValidUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    char32_t codePoint = 0;
    const int length = DecodeUtf8At(text, i, codePoint);
    if (length == 0) return false;
    i += static_cast<size_t>(length);
  }
  return true;
}

std::string Base64Text(std::string_view bytes) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t count = std::min<size_t>(3, bytes.size() - i);
    uint32_t group = 0;
    for (size_t k = 0; k < 3; ++k) {
      const uint32_t byte = k < count ? static_cast<unsigned char>(bytes[i + k]) : 0;
      group = (group << 8) | byte;
    }
    for (size_t k = 0; k < 4; ++k) {
      out += k <= count ? kDigits[(group >> (18 - 6 * k)) & 0x3F] : '=';
    }
  }
  return out;
}

std::string IsoUtcText(int64_t epochNs) {
  // Split by hand, flooring: a time near INT64_MIN taken to whole days in nanoseconds would no
  // longer fit the type.
  constexpr int64_t kNsPerSecond = 1000000000;
  constexpr int64_t kSecondsPerDay = 86400;
  int64_t seconds = epochNs / kNsPerSecond;
  int64_t nanos = epochNs % kNsPerSecond;
  if (nanos < 0) {
    --seconds;
    nanos += kNsPerSecond;
  }
  int64_t day = seconds / kSecondsPerDay;
  int64_t secondOfDay = seconds % kSecondsPerDay;
  if (secondOfDay < 0) {
    --day;
    secondOfDay += kSecondsPerDay;
  }
  const std::chrono::year_month_day date{std::chrono::sys_days{std::chrono::days{day}}};
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02lld:%02lld:%02lld.%09lldZ",
                static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                static_cast<unsigned>(date.day()), static_cast<long long>(secondOfDay / 3600),
                static_cast<long long>(secondOfDay / 60 % 60),
                static_cast<long long>(secondOfDay % 60), static_cast<long long>(nanos));
  return text;
}

}  // namespace parvolane
