#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/file_info.h"

namespace parvolane {

struct ResultColumn {
  std::string Caption;
  int Width = 0;
};

struct ResultGroup {
  int Id = 0;
  std::string Header;
};

/// One row: its group, one text per column, a check mark and, in the file list, the record it
/// stands for (owned by the scan's TFileList, never by the row).
struct ResultRow {
  int GroupId = 0;
  std::vector<std::string> Texts;
  bool Checked = false;
  const TFileInfo* Ref = nullptr;
};

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
  /// Redrawing was suspended (false) or resumed (true).
  virtual void RedrawChanged(bool enabled) = 0;
  /// The whole list should be drawn anew.
  virtual void RepaintRequested() = 0;
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
  void AddGroup(int id, std::string header);
  /// Removes the first remaining group; rows are not touched.
  void RemoveFirstGroup();
  /// Index of the group with this id in Groups(), or -1.
  ptrdiff_t GroupIndexOf(int id) const;

  size_t RowCount() const { return FRows.size(); }
  const ResultRow& Row(size_t index) const { return FRows[index]; }
  const std::vector<ResultRow>& Rows() const { return FRows; }
  void AddRow(ResultRow row);
  void ClearRows();
  void RemoveRow(size_t index);
  /// Removes every checked row, from the last to the first.
  void RemoveCheckedRows();
  void SetChecked(size_t index, bool checked);
  void SetAllChecked(bool checked);

  /// The nestable row-update bracket: from the outermost begin to the outermost end the rows
  /// are not redrawn, and the outermost end repaints the list.
  void BeginUpdate();
  void EndUpdate();
  int UpdateDepth() const { return FUpdateDepth; }

  bool RedrawEnabled() const { return FRedraw; }
  void SetRedraw(bool enabled);
  bool GroupView() const { return FGroupView; }
  void SetGroupView(bool on);
  void Repaint();

  /// The view that shows the list, or nullptr; not owned.
  void SetObserver(ResultListObserver* observer) { FObserver = observer; }

 private:
  void BeginChange();
  void EndChange();

  std::vector<ResultColumn> FColumns;
  std::vector<ResultGroup> FGroups;
  size_t FFirstGroup = 0;  // groups before this index have been removed
  std::vector<ResultRow> FRows;
  std::unordered_map<int, size_t> FGroupIndex;
  int FUpdateDepth = 0;
  bool FRedraw = true;
  bool FGroupView = true;
  ResultListObserver* FObserver = nullptr;
};

/// The columns of the file list ("Group", "File name", "Directory", "File size (MB)").
std::vector<ResultColumn> FileListColumns();
/// The columns of the folder list ("Group", "Directory", "Size").
std::vector<ResultColumn> DirListColumns();

/// Removes the groups one at a time, always the first remaining one; rows are not touched.
void ClearListGroups(ResultList& list);
/// Starts a bulk update; savedGroupView receives whether group display was on.
void BeginListUpdate(ResultList& list, bool& savedGroupView);
/// Ends a bulk update and restores the group display from savedGroupView.
void EndListUpdate(ResultList& list, bool savedGroupView);

/// Adds one group "Group N (size)" with a row per file; every file but the first is checked.
/// GroupNo is raised by 1.
void AddFileGroupToList(ResultList& lvFiles, const std::vector<TFileInfo*>& Files,
                        int64_t TotalSize, int& GroupNo);
/// Adds one group with a row per folder, none checked, sizes looked up in DirSizes (0 when
/// absent). GroupNo is raised by 1.
void AddDirGroupToList(ResultList& lvDirs, const std::vector<std::string>& Dirs,
                       const std::unordered_map<std::string, int64_t>& DirSizes, int64_t TotalSize,
                       int& GroupNo);

/// The folder part of a path as the "Directory" column shows it: everything before the last
/// '/', or up to and including it when it is the root (or follows another '/'); empty when the
/// path holds no '/'.
std::string FolderPartOfPath(std::string_view path);

/// The first row of each group unchecked, every other row checked.
void CheckAllButOneInGroup(ResultList& list);
void CheckAll(ResultList& list);
void UncheckAll(ResultList& list);

}  // namespace parvolane
