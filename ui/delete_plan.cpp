#include "ui/delete_plan.h"

#include <algorithm>
#include <set>
#include <utility>

namespace parvolane {

namespace {

bool IsFolderRow(const ResultRow& row) {
  return !row.IsFile;
}

/// Every proper ancestor of each path: the folders whose trees a move changed.
std::unordered_set<std::string> AncestorsOf(const std::vector<TrashedItem>& moved) {
  std::unordered_set<std::string> folders;
  for (const TrashedItem& item : moved) {
    std::string_view path = item.Requested;
    for (size_t slash = path.rfind('/'); slash != std::string_view::npos && slash > 0;
         slash = path.rfind('/', slash - 1))
      folders.emplace(path.substr(0, slash));
    if (path.size() > 1 && path.starts_with('/')) folders.emplace("/");
  }
  return folders;
}

/// Removes the doomed rows, then every group left with fewer than two rows, rows and all.
void RemoveRowsAndLonelyGroups(ResultList& list, const std::vector<bool>& doomed) {
  const RowUpdateGuard bracket(list);
  list.RemoveRowsAt(doomed);
  std::unordered_map<int, size_t> counts;
  // A row without a path stands for nothing and keeps no group alive.
  for (const ResultRow& row : list.Rows())
    if (!row.Path.empty()) ++counts[row.GroupId];
  std::unordered_set<int> lonely;
  for (const ResultGroup& group : list.Groups()) {
    if (counts[group.Id] < 2) lonely.insert(group.Id);
  }
  list.RemoveRowsIf([&lonely](const ResultRow& row) { return lonely.contains(row.GroupId); });
  list.RemoveGroups(lonely);
}

}  // namespace

DeletePlan::DeletePlan(ResultLists lists, ListKind kind) : FLists(lists), FKind(kind) {
  for (const ResultRow& row : FLists.Of(kind).Rows()) {
    if (row.Checked && !row.Path.empty()) FChecked.push_back(&row);
  }
  CollectGroups(ListKind::Files);
  CollectGroups(ListKind::Dirs);
}

void DeletePlan::CollectGroups(ListKind kind) {
  std::unordered_map<int, size_t> index;
  for (const ResultRow& row : FLists.Of(kind).Rows()) {
    if (row.Path.empty()) continue;
    const auto [it, added] = index.try_emplace(row.GroupId, FGroups.size());
    if (added) FGroups.push_back(Group{kind, row.GroupId, {}});
    FGroups[it->second].Members.push_back(&row);
  }
}

void DeletePlan::Look(const ResultRow& row) {
  if (FStates.contains(row.Path)) return;
  if (!IsFolderRow(row)) {
    FStates.emplace(row.Path, CheckFile(row.Path, row.Seen));
    return;
  }
  EntryState state = CheckFolder(row.Path, row.Seen, {});
  if (state == EntryState::Unchanged) {
    std::string signature = SignFolderTree(row.Path).Signature;
    if (!row.Digest.Empty() && signature != row.Digest.View()) state = EntryState::Changed;
    FSignatures.emplace(row.Path, std::move(signature));
  }
  FStates.emplace(row.Path, state);
}

void DeletePlan::LookAtDisk() {
  FMovable.clear();
  FRequest.clear();
  FLeftOut.clear();
  for (const ResultRow* row : FChecked) {
    Look(*row);
    const EntryState state = FStates.at(row->Path);
    if (state != EntryState::Unchanged) {
      FLeftOut.push_back({row->Path, state});
    } else if (FRequest.insert(row->Path).second) {
      FMovable.push_back(row);
    }
  }
  LookAtTouchedGroups();
}

// Every member of a group that loses one: one of them must stay, and only the disk says
// whether it still can.
void DeletePlan::LookAtTouchedGroups() {
  for (const Group& group : FGroups) {
    const bool touched = std::any_of(group.Members.begin(), group.Members.end(),
                                     [this](const ResultRow* row) { return IsMoved(*row); });
    if (!touched) continue;
    for (const ResultRow* row : group.Members)
      Look(*row);
  }
}

bool DeletePlan::StillAsAnswered() {
  std::set<std::pair<ListKind, int>> answered;
  for (const AtRiskGroup& group : AtRisk())
    answered.emplace(group.Kind, group.GroupId);
  const size_t leftOut = FLeftOut.size();
  FStates.clear();
  FSignatures.clear();
  for (const ResultRow* row : FChecked)
    Look(*row);
  std::erase_if(FMovable, [this](const ResultRow* row) {
    const EntryState state = FStates.at(row->Path);
    if (state == EntryState::Unchanged) return false;
    FLeftOut.push_back({row->Path, state});
    FRequest.erase(row->Path);
    return true;
  });
  LookAtTouchedGroups();
  const std::vector<AtRiskGroup> atRisk = AtRisk();
  return FLeftOut.size() == leftOut &&
         std::all_of(atRisk.begin(), atRisk.end(), [&answered](const AtRiskGroup& group) {
           return answered.contains({group.Kind, group.GroupId});
         });
}

std::vector<std::string> DeletePlan::Paths() const {
  std::vector<std::string> paths;
  paths.reserve(FMovable.size());
  for (const ResultRow* row : FMovable)
    paths.push_back(row->Path);
  return paths;
}

bool DeletePlan::IsMoved(const ResultRow& row) const {
  return IsAtOrBelowAny(row.Path, FRequest);
}

bool DeletePlan::IsUnchanged(const ResultRow& row) const {
  const auto state = FStates.find(row.Path);
  return state != FStates.end() && state->second == EntryState::Unchanged &&
         !IsInsideTrash(row.Path);
}

// Folders are clones by their trees: a kept folder only keeps a copy while its tree still
// signs like the folders that go, whether or not the scan's own signature is at hand.
const std::string* DeletePlan::ReferenceSignature(const Group& group) const {
  if (group.Kind != ListKind::Dirs) return nullptr;
  for (const ResultRow* row : group.Members) {
    if (!IsMoved(*row)) continue;
    const auto signature = FSignatures.find(row->Path);
    if (signature != FSignatures.end()) return &signature->second;
  }
  return nullptr;
}

bool DeletePlan::IsSurvivor(const Group& group, const ResultRow& row,
                            const std::string* reference) const {
  if (!IsUnchanged(row)) return false;
  if (group.Kind != ListKind::Dirs) return true;
  // A folder that something inside it leaves is no longer a copy of the others.
  const std::string_view path = row.Path;
  const bool loses = std::any_of(FRequest.begin(), FRequest.end(), [path](std::string_view moved) {
    return moved.size() > path.size() && IsAtOrBelow(moved, path);
  });
  if (loses) return false;
  if (reference == nullptr) return true;
  const auto signature = FSignatures.find(row.Path);
  return signature != FSignatures.end() && signature->second == *reference;
}

bool DeletePlan::IsAtRisk(const Group& group) const {
  bool touched = false;
  const std::string* reference = ReferenceSignature(group);
  for (const ResultRow* row : group.Members) {
    if (IsMoved(*row)) {
      touched = true;
    } else if (IsSurvivor(group, *row, reference)) {
      return false;
    }
  }
  return touched;
}

std::vector<AtRiskGroup> DeletePlan::AtRisk() const {
  std::vector<AtRiskGroup> atRisk;
  for (const Group& group : FGroups) {
    if (!IsAtRisk(group)) continue;
    const size_t moved =
        static_cast<size_t>(std::count_if(group.Members.begin(), group.Members.end(),
                                          [this](const ResultRow* row) { return IsMoved(*row); }));
    atRisk.push_back({group.Kind, group.Id, group.Members.front()->Path, moved});
  }
  return atRisk;
}

size_t DeletePlan::UnverifiedFiles() const {
  if (FKind != ListKind::Files) return 0;
  // Grouped by content, every member carries the digest its group shares; grouped by name or
  // size, none was ever compared.
  std::unordered_map<int, std::unordered_map<std::string_view, size_t>> digests;
  for (const ResultRow& row : FLists.Files.Rows()) {
    if (!row.Digest.Empty()) ++digests[row.GroupId][row.Digest.View()];
  }
  return static_cast<size_t>(
      std::count_if(FMovable.begin(), FMovable.end(), [&](const ResultRow* row) {
        if (row->Digest.Empty()) return true;
        return digests[row->GroupId][row->Digest.View()] < 2;
      }));
}

void DeletePlan::KeepOneCopyOfEach() {
  for (const Group& group : FGroups) {
    if (!IsAtRisk(group)) continue;
    const std::string* reference = ReferenceSignature(group);
    const auto keepable =
        std::find_if(group.Members.begin(), group.Members.end(),
                     [&](const ResultRow* row) { return IsSurvivor(group, *row, reference); });
    // Nothing of the group is as the scan saw it: there is no copy left to keep.
    if (keepable == group.Members.end()) continue;
    const std::string_view kept = (*keepable)->Path;
    std::erase_if(FRequest, [kept](std::string_view path) { return IsAtOrBelow(kept, path); });
  }
  std::erase_if(FMovable, [this](const ResultRow* row) { return !FRequest.contains(row->Path); });
}

void DeletePlan::FollowDisk(const std::vector<TrashedItem>& moved) {
  std::unordered_set<std::string_view> movedPaths;
  for (const TrashedItem& item : moved)
    movedPaths.insert(item.Requested);
  const std::unordered_set<std::string> holders = AncestorsOf(moved);
  const auto stale = [&](const ResultRow& row) {
    if (row.Path.empty()) return false;
    const auto state = FStates.find(row.Path);
    if (state != FStates.end() && state->second != EntryState::Unchanged) return true;
    if (IsAtOrBelowAny(row.Path, movedPaths)) return true;
    return IsFolderRow(row) && holders.contains(row.Path);
  };
  // Decided before anything moves: the views this plan holds point into the rows.
  std::vector<bool> doomed[2];
  ResultList* const lists[2] = {&FLists.Files, &FLists.Dirs};
  for (size_t i = 0; i < 2; ++i) {
    for (const ResultRow& row : lists[i]->Rows())
      doomed[i].push_back(stale(row));
  }
  FStates.clear();
  FSignatures.clear();
  for (size_t i = 0; i < 2; ++i)
    RemoveRowsAndLonelyGroups(*lists[i], doomed[i]);
  FChecked.clear();
  FGroups.clear();
  FMovable.clear();
  FRequest.clear();
}

}  // namespace parvolane
