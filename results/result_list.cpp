#include "results/result_list.h"

#include "results/size_text.h"

#include <algorithm>
#include <ostream>
#include <stdexcept>
#include <unordered_set>
#include <utility>

namespace parvolane {

ResultList::ResultList(std::vector<ResultColumn> columns) : FColumns(std::move(columns)) {}

void ResultList::BeginChange() {
  if (FUpdateDepth == 0 && FObserver != nullptr) FObserver->BeforeReset();
}

void ResultList::EndChange() {
  if (FUpdateDepth == 0 && FObserver != nullptr) FObserver->AfterReset();
}

void ResultList::ChecksChangedIn(size_t first, size_t last) {
  if (FUpdateDepth == 0 && FObserver != nullptr) FObserver->ChecksChanged(first, last);
}

void ResultList::CheckIndex(size_t index) const {
  if (index >= FRows.size()) {
    throw std::out_of_range("row " + std::to_string(index) + " of " + std::to_string(FRows.size()));
  }
}

void ResultList::AddGroup(int id, std::string header) {
  if (FGroupIndex.contains(id)) {
    throw std::invalid_argument("group id " + std::to_string(id) + " is already in the list");
  }
  BeginChange();
  FGroupIndex.emplace(id, FGroups.size());
  FGroups.push_back(ResultGroup{id, std::move(header)});
  EndChange();
}

void ResultList::ClearGroups() {
  if (FGroups.empty()) return;
  BeginChange();
  std::vector<ResultGroup>().swap(FGroups);
  std::unordered_map<int, size_t>().swap(FGroupIndex);
  EndChange();
}

ptrdiff_t ResultList::GroupIndexOf(int id) const {
  const auto it = FGroupIndex.find(id);
  if (it == FGroupIndex.end()) return -1;
  return static_cast<ptrdiff_t>(it->second);
}

void ResultList::AddRow(ResultRow row) {
  BeginChange();
  FRows.push_back(std::make_unique<ResultRow>(std::move(row)));
  EndChange();
}

void ResultList::Reserve(size_t groups, size_t rows) {
  FGroups.reserve(groups);
  FGroupIndex.reserve(groups);
  FRows.reserve(rows);
}

void ResultList::ClearRows() {
  if (FRows.empty()) {
    FRows.shrink_to_fit();
    return;
  }
  BeginChange();
  // Swapped out rather than cleared, so that a large listing does not keep its memory after
  // the scan that made it is gone.
  RowSpan::Slots().swap(FRows);
  EndChange();
}

void ResultList::RemoveRow(size_t index) {
  CheckIndex(index);
  BeginChange();
  FRows.erase(FRows.begin() + static_cast<ptrdiff_t>(index));
  EndChange();
}

void ResultList::RemoveCheckedRows() {
  // One pass instead of erasing row by row from the end: the rows that stay, and their order,
  // are the same.
  const auto checked = [](const std::unique_ptr<ResultRow>& row) { return row->Checked; };
  if (std::none_of(FRows.begin(), FRows.end(), checked)) return;
  BeginChange();
  std::erase_if(FRows, checked);
  EndChange();
}

void ResultList::RemoveRowsAt(const std::vector<bool>& doomed) {
  if (std::find(doomed.begin(), doomed.end(), true) == doomed.end()) return;
  BeginChange();
  size_t kept = 0;
  for (size_t i = 0; i < FRows.size(); ++i) {
    if (i < doomed.size() && doomed[i]) continue;
    if (kept != i) FRows[kept] = std::move(FRows[i]);
    ++kept;
  }
  FRows.erase(FRows.begin() + static_cast<ptrdiff_t>(kept), FRows.end());
  EndChange();
}

void ResultList::RemoveGroups(const std::unordered_set<int>& ids) {
  const auto doomed = [&ids](const ResultGroup& group) { return ids.contains(group.Id); };
  if (std::none_of(FGroups.begin(), FGroups.end(), doomed)) return;
  BeginChange();
  std::erase_if(FGroups, doomed);
  FGroupIndex.clear();
  for (size_t i = 0; i < FGroups.size(); ++i)
    FGroupIndex.emplace(FGroups[i].Id, i);
  EndChange();
}

void ResultList::SetChecked(size_t index, bool checked) {
  CheckIndex(index);
  if (FRows[index]->Checked == checked) return;
  FRows[index]->Checked = checked;
  ChecksChangedIn(index, index);
}

void ResultList::SetAllChecked(bool checked) {
  SetChecks([checked](const ResultRow&) { return checked; });
}

void ResultList::BeginUpdate() {
  if (FUpdateDepth++ == 0 && FObserver != nullptr) FObserver->BeforeReset();
}

void ResultList::EndUpdate() {
  if (FUpdateDepth == 0) return;  // an unmatched end must not unbalance later brackets
  if (--FUpdateDepth > 0) return;
  if (FObserver != nullptr) FObserver->AfterReset();
  Repaint();
}

void ResultList::SetGroupView(bool on) {
  if (FGroupView == on) return;
  BeginChange();
  FGroupView = on;
  EndChange();
}

void ResultList::Repaint() {
  if (FObserver != nullptr) FObserver->RepaintRequested();
}

std::vector<std::string> RowTexts(const ResultRow& row) {
  std::string group = std::to_string(row.GroupId);
  std::string size = FormatSizeMB(row.Seen.Size);
  if (!row.IsFile) return {std::move(group), row.Path, std::move(size)};
  return {std::move(group), std::string(NameOfPath(row.Path)), FolderPartOfPath(row.Path),
          std::move(size)};
}

std::string CellText(const ResultRow& row, size_t column) {
  switch (column) {
    case 0:
      return std::to_string(row.GroupId);
    case 1:
      return row.IsFile ? std::string(NameOfPath(row.Path)) : row.Path;
    case 2:
      return row.IsFile ? FolderPartOfPath(row.Path) : FormatSizeMB(row.Seen.Size);
    case 3:
      return row.IsFile ? FormatSizeMB(row.Seen.Size) : std::string();
    default:
      return {};
  }
}

std::vector<ResultColumn> FileListColumns() {
  return {{"Group"}, {"File name"}, {"Directory"}, {"File size (MB)"}};
}

std::vector<ResultColumn> DirListColumns() {
  return {{"Group"}, {"Directory"}, {"Size"}};
}

void ClearListGroups(ResultList& list) {
  list.ClearGroups();
}

void BeginListUpdate(ResultList& list, bool& savedGroupView) {
  savedGroupView = list.GroupView();
  list.BeginUpdate();
  list.SetGroupView(false);
}

void EndListUpdate(ResultList& list, bool savedGroupView) {
  list.EndUpdate();
  list.SetGroupView(savedGroupView);
  list.Repaint();
}

bool IsAtOrBelow(std::string_view path, std::string_view top) {
  if (top == "/") return path.starts_with('/');
  return path.starts_with(top) && (path.size() == top.size() || path[top.size()] == '/');
}

bool IsAtOrBelowAny(std::string_view path, const std::unordered_set<std::string_view>& tops) {
  for (;;) {
    if (tops.contains(path)) return true;
    const size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return false;
    if (slash == 0) return path.size() > 1 && tops.contains("/");
    path = path.substr(0, slash);
  }
}

namespace {

/// The row each group keeps: the best under the rule (the first among equals). A folder
/// group with a member inside a folder an earlier group keeps prefers such a member whatever
/// the rule, so that nested groups never keep a folder whose copy goes elsewhere.
std::unordered_map<int, size_t> KeptRows(const ResultList& list, KeepRule rule,
                                         const std::vector<std::string>& folders) {
  std::unordered_map<int, size_t> kept;
  kept.reserve(list.Groups().size());
  std::unordered_set<std::string_view> keptFolders;
  const RowSpan rows = list.Rows();
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto [it, first] = kept.try_emplace(rows[i].GroupId, i);
    const ResultRow& best = rows[it->second];
    const bool folderRow = !rows[i].IsFile && !rows[i].Path.empty();
    const bool inside = folderRow && IsAtOrBelowAny(rows[i].Path, keptFolders);
    const bool bestInside = folderRow && IsAtOrBelowAny(best.Path, keptFolders);
    if (!first && (inside != bestInside ? inside : KeepsBetter(rows[i], best, rule, folders)))
      it->second = i;
    if (!folderRow) continue;
    // A group's rows follow one another: its choice is final when the next group starts.
    const bool lastOfGroup = i + 1 == rows.size() || rows[i + 1].GroupId != rows[i].GroupId;
    if (lastOfGroup) keptFolders.insert(rows[it->second].Path);
  }
  return kept;
}

}  // namespace

void CheckAllButOneInGroup(ResultList& list, KeepRule rule,
                           const std::vector<std::string>& folders) {
  const std::unordered_map<int, size_t> kept = KeptRows(list, rule, folders);
  size_t index = 0;
  list.SetChecks([&](const ResultRow& row) { return kept.at(row.GroupId) != index++; });
}

void KeepOnly(ResultList& list, size_t keptRow) {
  if (keptRow >= list.RowCount()) return;
  const int group = list.Row(keptRow).GroupId;
  size_t index = 0;
  list.SetChecks([&](const ResultRow& row) {
    const size_t i = index++;
    return row.GroupId == group ? i != keptRow : row.Checked;
  });
}

void CheckAll(ResultList& list) {
  list.SetAllChecked(true);
}

void UncheckAll(ResultList& list) {
  list.SetAllChecked(false);
}

}  // namespace parvolane
