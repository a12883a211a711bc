#include "engine/scan_summary_text.h"

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <unordered_set>

#include "engine/file_info.h"

namespace parvolane {

namespace {

std::string Count(size_t n, std::string_view one, std::string_view many) {
  return std::to_string(n) + " " + std::string(n == 1 ? one : many);
}

std::string Joined(const std::vector<std::string>& parts, std::string_view separator) {
  std::string text;
  for (const std::string& part : parts) {
    if (!text.empty()) text += separator;
    text += part;
  }
  return text;
}

int64_t RowSize(const ResultRow& row) {
  return row.Seen.Size > 0 ? row.Seen.Size : 0;
}

// Every row of a group but its first is an extra copy, unless it is a file already counted
// (a hard link reaches one file by several paths). A million rows are summed in a few tens of
// milliseconds: the files that more than one row reaches are found by sorting their mixed
// identities, and only those are tracked one by one.
int64_t ExtraBytesOf(const ResultList& files) {
  const RowSpan rows = files.Rows();
  std::vector<uint64_t> keys;
  keys.reserve(rows.size());
  for (const ResultRow& row : rows) {
    if (row.Seen.Known) keys.push_back(FileIdHash()(row.Seen.Id));
  }
  std::sort(keys.begin(), keys.end());
  std::unordered_set<uint64_t> shared;
  for (size_t i = 1; i < keys.size(); ++i) {
    if (keys[i] == keys[i - 1]) shared.insert(keys[i]);
  }
  std::unordered_set<FileId, FileIdHash> counted;
  int64_t extra = 0;
  for (size_t i = 0; i < rows.size(); ++i) {
    const ResultRow& row = rows[i];
    const bool first = i == 0 || rows[i - 1].GroupId != row.GroupId;
    bool fresh = true;
    if (row.Seen.Known && shared.contains(FileIdHash()(row.Seen.Id))) {
      fresh = counted.insert(row.Seen.Id).second;
    }
    if (fresh && !first) extra += RowSize(row);
  }
  return extra;
}

// Groups are counted by their ids; the rows of a group lie together, so the runs of equal ids
// are few and cheap to sort.
size_t GroupCount(const ResultList& list) {
  std::vector<int> ids;
  int last = 0;
  for (const ResultRow& row : list.Rows()) {
    if (ids.empty() || row.GroupId != last) ids.push_back(row.GroupId);
    last = row.GroupId;
  }
  std::sort(ids.begin(), ids.end());
  return static_cast<size_t>(std::unique(ids.begin(), ids.end()) - ids.begin());
}

struct KindNames {
  std::string_view One;
  std::string_view Many;
};

constexpr std::array<KindNames, kSkipKindCount> kKindNames = {{
    {"unreadable folder", "unreadable folders"},
    {"unreadable file", "unreadable files"},
    {"vanished entry", "vanished entries"},
    {"path too long", "paths too long"},
}};

std::string FileFacts(const ScanFacts& f, std::string_view decimal) {
  return Count(f.FileGroups, "group", "groups") + ", " + Count(f.Files, "file", "files") + ", " +
         FormatByteSize(f.ExtraBytes, decimal) + " in extra copies";
}

std::vector<std::string> SummaryParts(const ScanFacts& f, std::string_view decimal) {
  std::vector<std::string> parts;
  if (f.FileClones) parts.push_back(FileFacts(f, decimal));
  if (f.FileGroupsCut > 0) {
    parts.push_back(Count(f.FileGroupsCut, "group", "groups") + " not listed (Max groups)");
  }
  if (f.FolderClones) {
    parts.push_back(Count(f.DirGroups, "folder group", "folder groups") + ", " +
                    Count(f.Dirs, "folder", "folders"));
  }
  if (f.DirGroupsCut > 0) {
    parts.push_back(Count(f.DirGroupsCut, "folder group", "folder groups") +
                    " not listed (Max groups)");
  }
  if (f.FoldersLeftOut > 0) {
    parts.push_back(Count(f.FoldersLeftOut, "folder", "folders") +
                    " left out of folder clones (not read whole)");
  }
  if (f.FolderErrors > 0) {
    parts.push_back(Count(f.FolderErrors, "scan folder", "scan folders") + " not scanned");
  }
  if (f.Skipped > 0) parts.push_back(Count(f.Skipped, "entry", "entries") + " skipped");
  if (!f.CacheProblem.empty()) parts.push_back("hash cache not used: " + f.CacheProblem);
  if (f.CacheLeftOut > 0) {
    parts.push_back("hash cache not used for " + Count(f.CacheLeftOut, "file", "files") +
                    " (file system without a stable identity)");
  }
  if (parts.empty()) parts.emplace_back("no clones looked for");
  return parts;
}

std::string TimeLeftText(double seconds) {
  const auto whole = static_cast<int64_t>(std::ceil(seconds));
  if (whole < 60) return std::to_string(whole) + " s left";
  const int64_t minutes = (whole + 59) / 60;
  if (minutes < 60) return std::to_string(minutes) + " min left";
  return std::to_string(minutes / 60) + " h " + std::to_string(minutes % 60) + " min left";
}

}  // namespace

ScanFacts SummarizeScan(const ResultList& files, const ResultList& dirs, const ScanSummary& summary,
                        bool fileClones, bool folderClones) {
  ScanFacts facts;
  facts.FileClones = fileClones;
  facts.FolderClones = folderClones;
  facts.FileGroups = GroupCount(files);
  facts.Files = files.RowCount();
  facts.ExtraBytes = ExtraBytesOf(files);
  facts.FileGroupsCut = summary.FileGroupsCut;
  facts.DirGroups = GroupCount(dirs);
  facts.Dirs = dirs.RowCount();
  facts.DirGroupsCut = summary.DirGroupsCut;
  facts.FoldersLeftOut = summary.FoldersLeftOut;
  facts.FolderErrors = summary.FolderErrors.size();
  facts.Skipped = summary.Skipped.Total();
  facts.CacheProblem = summary.CacheProblem;
  facts.CacheLeftOut = summary.CacheLeftOut;
  for (size_t k = 0; k < kSkipKindCount; ++k)
    facts.SkippedByKind[k] = summary.Skipped.Count(static_cast<SkipKind>(k));
  return facts;
}

std::string SummaryText(const ScanFacts& facts, std::string_view decimalSeparator) {
  return Joined(SummaryParts(facts, decimalSeparator), "; ");
}

std::vector<std::string> SummaryLines(const ScanFacts& facts, const ScanSummary& summary,
                                      std::string_view decimalSeparator) {
  std::vector<std::string> lines{"Summary: " + SummaryText(facts, decimalSeparator)};
  if (facts.Skipped > 0) {
    std::vector<std::string> kinds;
    for (size_t k = 0; k < kSkipKindCount; ++k) {
      const size_t n = facts.SkippedByKind[k];
      if (n > 0) kinds.push_back(Count(n, kKindNames[k].One, kKindNames[k].Many));
    }
    lines.push_back("Skipped: " + Joined(kinds, ", "));
  }
  for (std::string& line : SkippedEntryLines(summary))
    lines.push_back(std::move(line));
  return lines;
}

std::vector<std::string> SkippedEntryLines(const ScanSummary& summary) {
  std::vector<std::string> lines;
  const std::vector<SkippedEntry> kept = summary.Skipped.Kept();
  for (const SkippedEntry& entry : kept) {
    std::string line = "Skipped (" + std::string(SkipKindName(entry.Kind)) + "): " + entry.Path;
    if (!entry.Message.empty()) line += ": " + entry.Message;
    lines.push_back(std::move(line));
  }
  const size_t total = summary.Skipped.Total();
  if (total > kept.size()) {
    lines.push_back("Skipped: " + Count(total - kept.size(), "more entry", "more entries") +
                    " not listed");
  }
  return lines;
}

std::string SkippedListText(const ScanSummary& summary) {
  std::vector<std::string> lines;
  for (const std::string& error : summary.FolderErrors)
    lines.push_back("Not scanned: " + error);
  for (std::string& line : SkippedEntryLines(summary))
    lines.push_back(std::move(line));
  return Joined(lines, "\n");
}

std::string FormatByteSize(int64_t bytes, std::string_view decimalSeparator) {
  static constexpr const char* kUnits[] = {"B", "KB", "MB", "GB", "TB", "PB", "EB"};
  if (bytes < 1024) return std::to_string(bytes > 0 ? bytes : 0) + " B";
  double value = static_cast<double>(bytes);
  size_t unit = 0;
  // 1023.5 and more would print as "1024".
  while (value >= 1023.5 && unit + 1 < std::size(kUnits)) {
    value /= 1024.0;
    ++unit;
  }
  char text[32];
  if (value < 9.95) {
    std::snprintf(text, sizeof text, "%.1f", value);
  } else {
    std::snprintf(text, sizeof text, "%.0f", value);
  }
  std::string number(text);
  if (const size_t dot = number.find('.'); dot != std::string::npos) {
    number.replace(dot, 1, decimalSeparator);
  }
  return number + " " + kUnits[unit];
}

std::string LocaleDecimalSeparator() {
  const lconv* conv = std::localeconv();
  if (conv == nullptr || conv->decimal_point == nullptr || *conv->decimal_point == '\0') {
    return ".";
  }
  return conv->decimal_point;
}

std::string ByteProgressMeter::Text(int64_t done, int64_t total, Clock::time_point now,
                                    std::string_view separator, std::string_view decimal) {
  if (!FStarted || done < FLastDone) {
    FStarted = true;
    FStart = now;
    FStartDone = done;
  }
  FLastDone = done;
  std::string text = FormatByteSize(done, decimal) + " of " + FormatByteSize(total, decimal);
  const double seconds = std::chrono::duration<double>(now - FStart).count();
  const int64_t read = done - FStartDone;
  // A rate measured over a moment says nothing yet.
  if (seconds < 0.5 || read <= 0) return text;
  const double rate = static_cast<double>(read) / seconds;
  text += std::string(separator) + FormatByteSize(static_cast<int64_t>(rate), decimal) + "/s";
  if (total > done) {
    text += std::string(separator) + TimeLeftText(static_cast<double>(total - done) / rate);
  }
  return text;
}

std::string ProgressBarLine(int64_t done, int64_t total, std::string_view text, int barWidth) {
  int filled = 0;
  if (total > 0 && done > 0) {
    const double share =
        static_cast<double>(done < total ? done : total) / static_cast<double>(total);
    filled = static_cast<int>(share * barWidth);
  }
  std::string line = "[";
  line.append(static_cast<size_t>(filled), '#');
  line.append(static_cast<size_t>(barWidth - filled), '-');
  line += "] ";
  line += text;
  return line;
}

}  // namespace parvolane
