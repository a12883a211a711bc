#pragma once

#include <string>
#include <vector>

namespace parvolane {

struct ResultRow;

/// Which copy of a group "Check all but one in group" leaves unchecked.
enum class KeepRule {
  First,         ///< the group's first row (the copy the walk met first)
  Newest,        ///< the latest modification time
  Oldest,        ///< the earliest modification time
  ShortestPath,  ///< the fewest bytes in the full path
  FolderOrder,   ///< inside the folder listed highest among the folders to scan
};

/// True when `candidate` should be kept rather than `kept` under `rule`; ties keep `kept`, so
/// the earlier row wins. Rows whose entry could not be queried never win on dates.
/// `folders` is the priority order for KeepRule::FolderOrder (a row in none of them comes last).
bool KeepsBetter(const ResultRow& candidate, const ResultRow& kept, KeepRule rule,
                 const std::vector<std::string>& folders);

/// The rule stored under `name` ("first", "newest", ...); KeepRule::First for anything else.
KeepRule KeepRuleFromName(const std::string& name);
std::string KeepRuleName(KeepRule rule);

}  // namespace parvolane
