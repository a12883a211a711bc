#pragma once

#include <QTreeView>
#include <cstddef>
#include <optional>
#include <vector>

#include "ui/result_model.h"

class QAction;
class QMenu;

namespace parvolane {

/// A report-style list of one ResultModel: whole-row extended selection that stays visible
/// without the focus, no editing, no sorting, and group headers drawn across the whole line.
/// Space toggles the check boxes of the selected rows; the context menu and a double click
/// offer the row's entry to whoever opens things (the window).
class ResultView final : public QTreeView {
  Q_OBJECT

 public:
  explicit ResultView(QWidget* parent = nullptr);

  /// Shows the model (owned by the caller) with the list's own column widths.
  void SetResultModel(ResultModel* model);
  ResultModel* Model() const { return FModel; }

  /// The list row of the selected line; nothing when no row (or a header) is selected. With
  /// several selected, the current one when it is among them, else the first.
  std::optional<size_t> SelectedListRow() const;
  /// Every selected list row, in list order.
  std::vector<size_t> SelectedListRows() const;

  /// Sets the check mark of every selected row (nothing while checks are locked).
  void SetSelectedChecked(bool checked);
  /// Space: every selected row takes the opposite of the current row's mark.
  void ToggleSelectedChecks();
  /// "Keep this one": the selected row stays, the rest of its group is checked.
  void KeepSelectedOne();
  /// Puts the selected rows' full paths on the clipboard, one a line.
  void CopySelectedPaths();

  /// The context menu's entries, in order, for the rows selected now.
  QMenu* ContextMenu();

  QAction* actOpen = nullptr;
  QAction* actShowInFolder = nullptr;
  QAction* actCopyPath = nullptr;
  QAction* actCheckSelected = nullptr;
  QAction* actUncheckSelected = nullptr;
  QAction* actKeepThisOne = nullptr;

 signals:
  /// Open the row's file or folder with the desktop's program for it.
  void openRequested(size_t listRow);
  /// Show the row's entry in the file manager.
  void showInFolderRequested(size_t listRow);

 protected:
  void dataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight,
                   const QList<int>& roles) override;
  void keyPressEvent(QKeyEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void drawRow(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;

 private:
  void DrawGroupHeader(QPainter* painter, const QStyleOptionViewItem& option,
                       const QModelIndex& index) const;

  void CreateActions();
  bool ChecksEditable() const;

  ResultModel* FModel = nullptr;
  QMenu* FMenu = nullptr;
};

}  // namespace parvolane
