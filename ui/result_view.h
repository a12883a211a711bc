#pragma once

#include <QTreeView>
#include <cstddef>
#include <optional>

#include "ui/result_model.h"

namespace parvolane {

/// A report-style list of one ResultModel: whole-row single selection that stays visible
/// without the focus, no editing, no sorting, and group headers drawn across the whole line.
class ResultView final : public QTreeView {
  Q_OBJECT

 public:
  explicit ResultView(QWidget* parent = nullptr);

  /// Shows the model (owned by the caller) with the list's own column widths.
  void SetResultModel(ResultModel* model);
  ResultModel* Model() const { return FModel; }

  /// The list row of the selected line; nothing when no row (or a header) is selected.
  std::optional<size_t> SelectedListRow() const;

 protected:
  void dataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight,
                   const QList<int>& roles) override;
  void drawRow(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;

 private:
  void DrawGroupHeader(QPainter* painter, const QStyleOptionViewItem& option,
                       const QModelIndex& index) const;

  ResultModel* FModel = nullptr;
};

}  // namespace parvolane
