// Minimal list until the result-list model lands.
#include "results/result_list.h"

namespace parvolane {

ResultList::ResultList(std::vector<ResultColumn> columns) : FColumns(std::move(columns)) {}
void ResultList::ClearRows() {
  FRows.clear();
}
void ResultList::RemoveFirstGroup() {
  if (!FGroups.empty()) FGroups.erase(FGroups.begin());
}
std::vector<ResultColumn> FileListColumns() {
  return {{"Group", 60}, {"File name", 300}, {"Directory", 520}, {"File size (MB)", 100}};
}
std::vector<ResultColumn> DirListColumns() {
  return {{"Group", 60}, {"Directory", 740}, {"Size", 160}};
}
void ClearListGroups(ResultList& list) {
  while (!list.Groups().empty())
    list.RemoveFirstGroup();
}

}  // namespace parvolane
