#include "ui/result_view.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <algorithm>

namespace parvolane {

ResultView::ResultView(QWidget* parent) : QTreeView(parent) {
  setRootIsDecorated(false);
  setItemsExpandable(false);
  setUniformRowHeights(true);  // keeps layout and scrolling independent of the row count
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  // The end of a long folder path is where copies differ: keep both ends in sight.
  setTextElideMode(Qt::ElideMiddle);
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
  CreateActions();
  connect(this, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex& index) {
    if (FModel == nullptr) return;
    if (const std::optional<size_t> row = FModel->ListRowAt(index.row())) emit openRequested(*row);
  });
}

void ResultView::CreateActions() {
  FMenu = new QMenu(this);
  FMenu->setObjectName(QStringLiteral("ResultMenu"));
  const auto add = [this](const char* name, const char* text) {
    QAction* action = FMenu->addAction(QString::fromUtf8(text));
    action->setObjectName(QString::fromLatin1(name));
    return action;
  };
  actOpen = add("actOpen", "Open");
  actShowInFolder = add("actShowInFolder", "Show in folder");
  actCopyPath = add("actCopyPath", "Copy path");
  FMenu->addSeparator();
  actCheckSelected = add("actCheckSelected", "Check selected");
  actUncheckSelected = add("actUncheckSelected", "Uncheck selected");
  actKeepThisOne = add("actKeepThisOne", "Keep this one");
  connect(actOpen, &QAction::triggered, this, [this] {
    if (const std::optional<size_t> row = SelectedListRow()) emit openRequested(*row);
  });
  connect(actShowInFolder, &QAction::triggered, this, [this] {
    if (const std::optional<size_t> row = SelectedListRow()) emit showInFolderRequested(*row);
  });
  connect(actCopyPath, &QAction::triggered, this, &ResultView::CopySelectedPaths);
  connect(actCheckSelected, &QAction::triggered, this, [this] { SetSelectedChecked(true); });
  connect(actUncheckSelected, &QAction::triggered, this, [this] { SetSelectedChecked(false); });
  connect(actKeepThisOne, &QAction::triggered, this, &ResultView::KeepSelectedOne);
}

QMenu* ResultView::ContextMenu() {
  const std::vector<size_t> rows = SelectedListRows();
  const bool any = !rows.empty();
  for (QAction* action : {actOpen, actShowInFolder, actCopyPath})
    action->setEnabled(any);
  for (QAction* action : {actCheckSelected, actUncheckSelected})
    action->setEnabled(any && ChecksEditable());
  actKeepThisOne->setEnabled(rows.size() == 1 && ChecksEditable());
  return FMenu;
}

void ResultView::contextMenuEvent(QContextMenuEvent* event) {
  // A right click on a row outside the selection acts on that row, as in file managers.
  const QModelIndex at = indexAt(event->pos());
  if (at.isValid() && selectionModel() != nullptr && !selectionModel()->isRowSelected(at.row()))
    setCurrentIndex(at);
  ContextMenu()->popup(event->globalPos());
}

bool ResultView::ChecksEditable() const {
  return FModel != nullptr && !FModel->ChecksLocked();
}

void ResultView::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Space && event->modifiers() == Qt::NoModifier) {
    ToggleSelectedChecks();
    event->accept();
    return;
  }
  if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
      event->modifiers() == Qt::NoModifier) {
    if (const std::optional<size_t> row = SelectedListRow()) emit openRequested(*row);
    event->accept();
    return;
  }
  QTreeView::keyPressEvent(event);
}

void ResultView::SetSelectedChecked(bool checked) {
  if (!ChecksEditable()) return;
  const std::vector<size_t> rows = SelectedListRows();
  if (rows.empty()) return;
  ResultList& list = FModel->List();
  size_t next = 0;
  size_t index = 0;
  // One pass announces every changed mark as one range.
  list.SetChecks([&](const ResultRow& row) {
    const bool selected = next < rows.size() && rows[next] == index;
    ++index;
    if (!selected) return row.Checked;
    ++next;
    return checked;
  });
}

void ResultView::ToggleSelectedChecks() {
  const std::vector<size_t> rows = SelectedListRows();
  if (rows.empty() || !ChecksEditable()) return;
  const std::optional<size_t> current = SelectedListRow();
  SetSelectedChecked(!FModel->List().Row(current.value_or(rows.front())).Checked);
}

void ResultView::KeepSelectedOne() {
  const std::optional<size_t> row = SelectedListRow();
  if (!row || !ChecksEditable()) return;
  KeepOnly(FModel->List(), *row);
}

void ResultView::CopySelectedPaths() {
  QStringList paths;
  for (const size_t row : SelectedListRows())
    paths << FModel->data(FModel->index(FModel->ViewRowOf(row), 0), Qt::ToolTipRole).toString();
  if (!paths.isEmpty()) QApplication::clipboard()->setText(paths.join(QLatin1Char('\n')));
}

void ResultView::SetResultModel(ResultModel* model) {
  FModel = model;
  setModel(model);
  connect(model, &ResultModel::repaintRequested, viewport(), [this] { viewport()->update(); });
}

std::optional<size_t> ResultView::SelectedListRow() const {
  const std::vector<size_t> rows = SelectedListRows();
  if (rows.empty()) return std::nullopt;
  if (const std::optional<size_t> current = FModel->ListRowAt(currentIndex().row())) {
    if (std::binary_search(rows.begin(), rows.end(), *current)) return current;
  }
  return rows.front();
}

std::vector<size_t> ResultView::SelectedListRows() const {
  std::vector<size_t> rows;
  if (FModel == nullptr || selectionModel() == nullptr) return rows;
  for (const QModelIndex& index : selectionModel()->selectedRows()) {
    if (const std::optional<size_t> row = FModel->ListRowAt(index.row())) rows.push_back(*row);
  }
  std::sort(rows.begin(), rows.end());
  return rows;
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
