#include "ui/result_view.h"

#include <QHeaderView>
#include <QItemSelectionModel>
#include <QPainter>

namespace parvolane {

ResultView::ResultView(QWidget* parent) : QTreeView(parent) {
  setRootIsDecorated(false);
  setItemsExpandable(false);
  setUniformRowHeights(true);  // keeps layout and scrolling independent of the row count
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setSortingEnabled(false);
  setAllColumnsShowFocus(true);
  header()->setSectionsMovable(false);
  header()->setStretchLastSection(false);
  // The selected row stays as visible as with the focus, so that it is clear which entry
  // "Open location" will use after a click on the button.
  QPalette colours = palette();
  for (const QPalette::ColorRole role : {QPalette::Highlight, QPalette::HighlightedText}) {
    colours.setColor(QPalette::Inactive, role, colours.color(QPalette::Active, role));
  }
  setPalette(colours);
}

void ResultView::SetResultModel(ResultModel* model) {
  FModel = model;
  setModel(model);
  const auto& columns = model->List().Columns();
  for (size_t i = 0; i < columns.size(); ++i)
    setColumnWidth(static_cast<int>(i), columns[i].Width);
  connect(model, &ResultModel::redrawChanged, this, [this](bool on) { setUpdatesEnabled(on); });
  connect(model, &ResultModel::repaintRequested, viewport(), [this] { viewport()->update(); });
}

std::optional<size_t> ResultView::SelectedListRow() const {
  if (FModel == nullptr || selectionModel() == nullptr) return std::nullopt;
  const QModelIndexList rows = selectionModel()->selectedRows();
  if (rows.isEmpty()) return std::nullopt;
  return FModel->ListRowAt(rows.first().row());
}

void ResultView::dataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight,
                             const QList<int>& roles) {
  // Check marks never change a line's height or text, so a change over many lines ("Check
  // all" on a few hundred thousand rows) needs only a repaint of what is visible; the item
  // views would measure every line of the range first.
  if (roles == QList<int>{Qt::CheckStateRole} && topLeft.row() != bottomRight.row()) {
    viewport()->update();
    return;
  }
  QTreeView::dataChanged(topLeft, bottomRight, roles);
}

void ResultView::drawRow(QPainter* painter, const QStyleOptionViewItem& option,
                         const QModelIndex& index) const {
  if (index.data(ResultModel::HeaderRole).toBool()) {
    DrawGroupHeader(painter, option, index);
    return;
  }
  QTreeView::drawRow(painter, option, index);
}

void ResultView::DrawGroupHeader(QPainter* painter, const QStyleOptionViewItem& option,
                                 const QModelIndex& index) const {
  // The header spans every column and scrolls sideways with them.
  const QRect line(-header()->offset(), option.rect.top(), header()->length(),
                   option.rect.height());
  const QString text = index.data(Qt::DisplayRole).toString();
  painter->save();
  QFont bold = option.font;
  bold.setBold(true);
  painter->setFont(bold);
  painter->setPen(option.palette.color(QPalette::Active, QPalette::Link));
  const QRect textArea = line.adjusted(6, 0, -6, 0);
  QRect drawn;
  painter->drawText(textArea, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, text, &drawn);
  const int y = line.center().y() + 1;
  if (drawn.right() + 8 < textArea.right()) {
    painter->setPen(option.palette.color(QPalette::Active, QPalette::Mid));
    painter->drawLine(drawn.right() + 8, y, textArea.right(), y);
  }
  painter->restore();
}

}  // namespace parvolane
