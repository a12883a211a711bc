#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/tree_check.h"
#include "platform/trash.h"
#include "results/result_list.h"

namespace parvolane {

/// Which of the two result lists an action works on (the one whose tab is shown).
enum class ListKind { Files, Dirs };

/// Both result lists: a delete from one changes what the other may keep.
struct ResultLists {
  ResultList& Files;
  ResultList& Dirs;
  ResultList& Of(ListKind kind) const { return kind == ListKind::Files ? Files : Dirs; }
};

/// A group that a delete would leave without a copy outside the trash.
struct AtRiskGroup {
  ListKind Kind = ListKind::Files;
  int GroupId = 0;
  std::string FirstPath;    // its first member, to name the group
  size_t MovedMembers = 0;  // members that the request would move
};

/// A checked entry that the disk no longer holds as the scan saw it.
struct LeftOutEntry {
  std::string Path;
  EntryState State = EntryState::Changed;
};

/// One "Delete checked" request, from the checked rows to what moves, worked out against the
/// disk as it is now. The rows of both lists are a picture of the disk at scan time: every
/// checked entry and every member of a group the request touches is looked at again, a checked
/// entry that changed is left out, and a group whose every remaining copy would go (or is gone
/// already, changed, or in the trash) is at risk.
///
/// The plan holds views of the rows: the lists must not change between its creation and
/// FollowDisk.
class DeletePlan final {
 public:
  DeletePlan(ResultLists lists, ListKind kind);
  DeletePlan(const DeletePlan&) = delete;
  DeletePlan& operator=(const DeletePlan&) = delete;

  /// True when no checked row of the active list has a path.
  bool NothingChecked() const { return FChecked.empty(); }
  /// Looks at every checked entry and at the members of every group the request touches
  /// (whole-tree walks for folders). Reads the lists and the disk only: may run on another
  /// thread while the lists stay as they are.
  void LookAtDisk();

  /// The paths the request moves now, in row order.
  std::vector<std::string> Paths() const;
  const std::vector<LeftOutEntry>& LeftOut() const { return FLeftOut; }
  /// The groups of either list that the request, as it stands, leaves without a copy.
  std::vector<AtRiskGroup> AtRisk() const;
  /// Of the checked files that move, how many were grouped without comparing contents (by
  /// name or size only).
  size_t UnverifiedFiles() const;
  /// Takes out of the request, for each group at risk, the paths that would take its first
  /// keepable member along, so that one copy of each stays.
  void KeepOneCopyOfEach();
  /// Looks at the disk again once the user has answered, which may be long after LookAtDisk:
  /// a checked entry that changed meanwhile leaves the request. True when the request is
  /// still the one the user agreed to: nothing left it and no group that kept a copy then is
  /// at risk now. Reads the lists and the disk only, like LookAtDisk.
  bool StillAsAnswered();

  /// After the move: the rows of both lists that the disk no longer holds as listed leave
  /// their lists (moved, inside a moved folder, holding a moved entry, or found changed or
  /// gone), and so does every group left with fewer than two rows. Other rows keep their
  /// check marks.
  void FollowDisk(const std::vector<TrashedItem>& moved);

 private:
  struct Group {
    ListKind Kind;
    int Id;
    std::vector<const ResultRow*> Members;
  };
  using ViewSet = std::unordered_set<std::string_view>;

  void CollectGroups(ListKind kind);
  void Look(const ResultRow& row);
  void LookAtTouchedGroups();
  bool IsMoved(const ResultRow& row) const;
  bool IsUnchanged(const ResultRow& row) const;
  bool IsSurvivor(const Group& group, const ResultRow& row, const std::string* reference) const;
  const std::string* ReferenceSignature(const Group& group) const;
  bool IsAtRisk(const Group& group) const;

  ResultLists FLists;
  ListKind FKind;
  std::vector<const ResultRow*> FChecked;
  std::vector<Group> FGroups;
  std::vector<const ResultRow*> FMovable;  // checked and unchanged, still in the request
  ViewSet FRequest;                        // their paths
  std::vector<LeftOutEntry> FLeftOut;
  std::unordered_map<std::string_view, EntryState> FStates;
  std::unordered_map<std::string_view, std::string> FSignatures;  // folders' current ones
};

}  // namespace parvolane
