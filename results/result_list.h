#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "results/digest_text.h"
#include "results/entry_snapshot.h"
#include "results/keep_rules.h"
#include "results/path_parts.h"
#include "results/slot_pool.h"

namespace parvolane {

/// The scan's record that a file row stands for; the list never looks inside it.
class TFileInfo;

struct ResultColumn {
  std::string Caption;
};

struct ResultGroup {
  int Id = 0;
  std::string Header;
};

/// One row: its group, a check mark, and what it stands for as data, by value: the entry's own
/// path (a file's full path, a folder's path) and what the scan saw of it, so that actions
/// never read a path back from a displayed text and a row stays valid whatever happens to the
/// scan's records. Its column texts are made from that data where they are shown or written
/// (RowTexts), so that a million rows hold no text beside their path.
struct ResultRow {
  int GroupId = 0;
  bool Checked = false;
  /// A file row (of the file list); false for a folder row.
  bool IsFile = false;
  /// A file row: the SHA-1 of its content when the scan hashed it. A folder row: the signature
  /// of its tree as the scan computed it. Empty when not known.
  DigestText Digest;
  std::string Path;
  EntrySnapshot Seen;

  // Rows of a scan take the slots its records give back (see SlotPool).
  static void* operator new(size_t size) { return TakeSlot(size); }
  static void operator delete(void* p, size_t size) noexcept { GiveSlot(p, size); }
};
static_assert(sizeof(ResultRow) <= SlotPool::kSlotSize && alignof(ResultRow) <= alignof(void*));

/// The texts of a row's columns, as the lists show them and the CSV writes them: a file row's
/// group number, name, folder part and size in MB; a folder row's group number, path and size
/// in MB (the size of its tree). Sizes use the locale's decimal separator.
std::vector<std::string> RowTexts(const ResultRow& row);
/// One of those texts; empty past the last column.
std::string CellText(const ResultRow& row, size_t column);

/// What folder clone detection saw of a listed folder.
struct FolderSnapshot {
  EntrySnapshot Seen;
  std::string Signature;
};
/// Listed folders by path.
using FolderSnapshots = std::unordered_map<std::string, FolderSnapshot>;

/// Told about changes, so that a view can show a list without copying it.
///
/// Structural changes (groups or rows added or removed, the group view switched) are announced
/// by BeforeReset/AfterReset: once per change outside an update bracket, once around the whole
/// bracket inside one. Check marks that change are announced by ChecksChanged.
class ResultListObserver {
 public:
  virtual ~ResultListObserver() = default;
  virtual void BeforeReset() = 0;
  virtual void AfterReset() = 0;
  /// Rows first..last (inclusive) changed their check mark.
  virtual void ChecksChanged(size_t first, size_t last) = 0;
  /// The whole list should be drawn anew.
  virtual void RepaintRequested() = 0;
};

/// The rows of a list in order, as a range of rows (each row lives in a slot of its own, so
/// that the rows of a scan can take the place of its records one by one).
class RowSpan final {
 public:
  using Slots = std::vector<std::unique_ptr<ResultRow>>;
  class Iterator final {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = ResultRow;
    using difference_type = ptrdiff_t;
    using pointer = const ResultRow*;
    using reference = const ResultRow&;
    Iterator() = default;
    explicit Iterator(Slots::const_iterator at) : FAt(at) {}
    reference operator*() const { return **FAt; }
    pointer operator->() const { return FAt->get(); }
    Iterator& operator++() {
      ++FAt;
      return *this;
    }
    Iterator operator++(int) {
      Iterator before = *this;
      ++FAt;
      return before;
    }
    bool operator==(const Iterator&) const = default;

   private:
    Slots::const_iterator FAt;
  };

  explicit RowSpan(const Slots& rows) : FRows(&rows) {}
  Iterator begin() const { return Iterator(FRows->begin()); }
  Iterator end() const { return Iterator(FRows->end()); }
  size_t size() const { return FRows->size(); }
  bool empty() const { return FRows->empty(); }
  const ResultRow& operator[](size_t index) const { return *(*FRows)[index]; }
  const ResultRow& front() const { return *FRows->front(); }
  const ResultRow& back() const { return *FRows->back(); }

 private:
  const Slots* FRows;
};

/// A grouped, checkable result list, independent of any widget toolkit.
/// Threading: one thread (the user-interface thread).
class ResultList final {
 public:
  explicit ResultList(std::vector<ResultColumn> columns);
  ResultList(const ResultList&) = delete;
  ResultList& operator=(const ResultList&) = delete;

  const std::vector<ResultColumn>& Columns() const { return FColumns; }

  const std::vector<ResultGroup>& Groups() const { return FGroups; }
  /// Errors: std::invalid_argument when a group with this id is already in the list.
  void AddGroup(int id, std::string header);
  /// Removes every group at once; rows are not touched.
  void ClearGroups();
  /// Index of the group with this id in Groups(), or -1.
  ptrdiff_t GroupIndexOf(int id) const;

  size_t RowCount() const { return FRows.size(); }
  const ResultRow& Row(size_t index) const { return *FRows[index]; }
  RowSpan Rows() const { return RowSpan(FRows); }
  void AddRow(ResultRow row);
  /// Makes room for this many groups and rows in all, so that a listing of known size
  /// allocates once; changes nothing that is shown.
  void Reserve(size_t groups, size_t rows);
  /// Removes every row and releases the memory they held.
  void ClearRows();
  /// Errors (here and in SetChecked): std::out_of_range for an index past the last row.
  void RemoveRow(size_t index);
  /// Removes every checked row, from the last to the first.
  void RemoveCheckedRows();
  /// Removes every row for which doomed(row) is true, keeping the order of the others;
  /// returns how many went.
  template <typename Doomed>
  size_t RemoveRowsIf(Doomed doomed);
  /// Removes the rows whose flag is set (flags by row index; missing flags count as unset).
  void RemoveRowsAt(const std::vector<bool>& doomed);
  /// Removes the groups with these ids (their rows are not touched); the others keep their
  /// order and headers.
  void RemoveGroups(const std::unordered_set<int>& ids);
  void SetChecked(size_t index, bool checked);
  void SetAllChecked(bool checked);
  /// Sets every row's check mark to wanted(row), walking the rows once in order; the rows
  /// whose mark changed are announced as one range.
  template <typename Wanted>
  void SetChecks(Wanted wanted);

  /// The nestable row-update bracket: the changes made inside it are announced once, by the
  /// outermost end, which also repaints the list.
  void BeginUpdate();
  void EndUpdate();
  int UpdateDepth() const { return FUpdateDepth; }

  bool GroupView() const { return FGroupView; }
  void SetGroupView(bool on);
  void Repaint();

  /// The view that shows the list, or nullptr; not owned.
  void SetObserver(ResultListObserver* observer) { FObserver = observer; }

 private:
  // Brackets one structural change: announced at once outside an update bracket, folded into
  // the bracket's single reset inside one.
  void BeginChange();
  void EndChange();
  // Check marks of rows first..last changed; folded into the bracket's reset inside one.
  void ChecksChangedIn(size_t first, size_t last);
  void CheckIndex(size_t index) const;

  std::vector<ResultColumn> FColumns;
  std::vector<ResultGroup> FGroups;
  RowSpan::Slots FRows;
  std::unordered_map<int, size_t> FGroupIndex;  // group id -> position in FGroups
  int FUpdateDepth = 0;
  bool FGroupView = true;
  ResultListObserver* FObserver = nullptr;
};

template <typename Doomed>
size_t ResultList::RemoveRowsIf(Doomed doomed) {
  const auto test = [&doomed](const std::unique_ptr<ResultRow>& row) {
    return doomed(static_cast<const ResultRow&>(*row));
  };
  if (std::none_of(FRows.begin(), FRows.end(), test)) return 0;
  BeginChange();
  const size_t removed = std::erase_if(FRows, test);
  EndChange();
  return removed;
}

template <typename Wanted>
void ResultList::SetChecks(Wanted wanted) {
  size_t first = FRows.size();
  size_t last = 0;
  for (size_t i = 0; i < FRows.size(); ++i) {
    const bool on = wanted(static_cast<const ResultRow&>(*FRows[i]));
    if (FRows[i]->Checked == on) continue;
    FRows[i]->Checked = on;
    if (first == FRows.size()) first = i;
    last = i;
  }
  if (first < FRows.size()) ChecksChangedIn(first, last);
}

/// The columns of the file list ("Group", "File name", "Directory", "File size (MB)").
std::vector<ResultColumn> FileListColumns();
/// The columns of the folder list ("Group", "Directory", "Size").
std::vector<ResultColumn> DirListColumns();

/// Removes every group; rows are not touched.
void ClearListGroups(ResultList& list);
/// Starts a bulk update; savedGroupView receives whether group display was on.
void BeginListUpdate(ResultList& list, bool& savedGroupView);
/// Ends a bulk update and restores the group display from savedGroupView.
void EndListUpdate(ResultList& list, bool savedGroupView);

/// Keeps the row-update bracket open for its lifetime, however the scope is left.
class RowUpdateGuard final {
 public:
  explicit RowUpdateGuard(ResultList& list) : FList(list) { FList.BeginUpdate(); }
  RowUpdateGuard(const RowUpdateGuard&) = delete;
  RowUpdateGuard& operator=(const RowUpdateGuard&) = delete;
  ~RowUpdateGuard() { FList.EndUpdate(); }

 private:
  ResultList& FList;
};

/// Keeps a bulk update (BeginListUpdate to EndListUpdate) open for its lifetime, however the
/// scope is left.
class ListUpdateGuard final {
 public:
  explicit ListUpdateGuard(ResultList& list) : FList(list) { BeginListUpdate(FList, FSaved); }
  ListUpdateGuard(const ListUpdateGuard&) = delete;
  ListUpdateGuard& operator=(const ListUpdateGuard&) = delete;
  ~ListUpdateGuard() { EndListUpdate(FList, FSaved); }

 private:
  ResultList& FList;
  bool FSaved = true;
};

/// One row of each group unchecked, every other row checked: the row `rule` prefers (the
/// first row by default), except that a folder group with a member inside a folder already
/// kept by an earlier group keeps such a member, so that nested groups never keep a folder
/// whose copy goes elsewhere. `folders` is the priority order for KeepRule::FolderOrder.
void CheckAllButOneInGroup(ResultList& list, KeepRule rule = KeepRule::First,
                           const std::vector<std::string>& folders = {});
/// "Keep this one": unchecks the row and checks every other row of its group; other groups
/// keep their marks.
void KeepOnly(ResultList& list, size_t keptRow);

/// True when `path` is `top` or lies below it ("/" holds every absolute path).
bool IsAtOrBelow(std::string_view path, std::string_view top);
/// True when the path or one of its ancestors is in the set.
bool IsAtOrBelowAny(std::string_view path, const std::unordered_set<std::string_view>& tops);
void CheckAll(ResultList& list);
void UncheckAll(ResultList& list);

}  // namespace parvolane
