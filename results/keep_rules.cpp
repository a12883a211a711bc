#include "results/keep_rules.h"

#include <array>
#include <string_view>
#include <utility>

#include "results/result_list.h"

namespace parvolane {

namespace {

constexpr std::array<std::pair<KeepRule, const char*>, 5> kNames = {{
    {KeepRule::First, "first"},
    {KeepRule::Newest, "newest"},
    {KeepRule::Oldest, "oldest"},
    {KeepRule::ShortestPath, "shortest-path"},
    {KeepRule::FolderOrder, "folder-order"},
}};

size_t FolderRank(const ResultRow& row, const std::vector<std::string>& folders) {
  for (size_t i = 0; i < folders.size(); ++i) {
    // The folder list keeps a closing separator ("/data/Photos/").
    std::string_view top = folders[i];
    while (top.size() > 1 && top.back() == '/')
      top.remove_suffix(1);
    if (IsAtOrBelow(row.Path, top)) return i;
  }
  return folders.size();
}

// An entry whose date is unknown must never be preferred over one that was seen.
bool LaterDate(const ResultRow& a, const ResultRow& b, bool later) {
  if (!a.Seen.Known) return false;
  if (!b.Seen.Known) return true;
  return later ? a.Seen.MTimeNs > b.Seen.MTimeNs : a.Seen.MTimeNs < b.Seen.MTimeNs;
}

}  // namespace

bool KeepsBetter(const ResultRow& candidate, const ResultRow& kept, KeepRule rule,
                 const std::vector<std::string>& folders) {
  switch (rule) {
    case KeepRule::First:
      return false;
    case KeepRule::Newest:
      return LaterDate(candidate, kept, true);
    case KeepRule::Oldest:
      return LaterDate(candidate, kept, false);
    case KeepRule::ShortestPath:
      return candidate.Path.size() < kept.Path.size();
    case KeepRule::FolderOrder:
      return FolderRank(candidate, folders) < FolderRank(kept, folders);
  }
  return false;
}

KeepRule KeepRuleFromName(const std::string& name) {
  for (const auto& [rule, text] : kNames) {
    if (name == text) return rule;
  }
  return KeepRule::First;
}

std::string KeepRuleName(KeepRule rule) {
  for (const auto& [known, text] : kNames) {
    if (known == rule) return text;
  }
  return kNames[0].second;
}

}  // namespace parvolane
