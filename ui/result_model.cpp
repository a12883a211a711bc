#include "ui/result_model.h"

#include <QLocale>
#include <QString>
#include <algorithm>
#include <array>

namespace parvolane {

QString FromBytes(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString ShortSizeText(int64_t bytes) {
  if (bytes < 1024) return QStringLiteral("%1 B").arg(bytes);
  static constexpr std::array<const char*, 4> kUnits = {"KB", "MB", "GB", "TB"};
  double value = static_cast<double>(bytes) / 1024.0;
  size_t unit = 0;
  while (value >= 1024.0 && unit + 1 < kUnits.size()) {
    value /= 1024.0;
    ++unit;
  }
  // Three significant digits read at a glance: "8.5 KB", "42.0 MB", "731 GB".
  const int decimals = value < 100.0 ? 1 : 0;
  return QLocale().toString(value, 'f', decimals) + QLatin1Char(' ') + QLatin1String(kUnits[unit]);
}

ResultModel::ResultModel(ResultList& list, QObject* parent)
    : QAbstractTableModel(parent), FList(list) {
  Rebuild();
  FList.SetObserver(this);
}

ResultModel::~ResultModel() {
  FList.SetObserver(nullptr);
}

bool ResultModel::IsLine(const QModelIndex& index) const {
  return index.isValid() && index.model() == this && index.row() >= 0 &&
         static_cast<size_t>(index.row()) < FEntries.size() && index.column() >= 0 &&
         static_cast<size_t>(index.column()) < FList.Columns().size();
}

std::optional<size_t> ResultModel::ListRowAt(int viewRow) const {
  if (viewRow < 0 || static_cast<size_t>(viewRow) >= FEntries.size()) return std::nullopt;
  const Entry entry = FEntries[static_cast<size_t>(viewRow)];
  if (entry < 0 || static_cast<size_t>(entry) >= FList.RowCount()) return std::nullopt;
  return static_cast<size_t>(entry);
}

bool ResultModel::IsSizeColumn(size_t column) const {
  // The size is the last column of both lists.
  return column + 1 == FList.Columns().size() && column > 0;
}

int ResultModel::ViewRowOf(size_t listRow) const {
  return listRow < FViewRowOfRow.size() ? FViewRowOfRow[listRow] : -1;
}

void ResultModel::SetChecksLocked(bool locked) {
  if (FChecksLocked == locked || FEntries.empty()) {
    FChecksLocked = locked;
    return;
  }
  FChecksLocked = locked;
  emit dataChanged(index(0, 0), index(static_cast<int>(FEntries.size()) - 1, 0),
                   {Qt::CheckStateRole});
}

int ResultModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(FEntries.size());
}

int ResultModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(FList.Columns().size());
}

QVariant ResultModel::data(const QModelIndex& index, int role) const {
  if (!IsLine(index)) return {};
  const Entry entry = FEntries[static_cast<size_t>(index.row())];
  if (entry < 0) {
    const size_t group = static_cast<size_t>(-(entry + 1));
    if (role == HeaderRole) return true;
    if (role == Qt::DisplayRole && index.column() == 0 && group < FList.Groups().size()) {
      return FromBytes(FList.Groups()[group].Header);
    }
    return {};
  }
  if (static_cast<size_t>(entry) >= FList.RowCount()) return {};
  const ResultRow& row = FList.Row(static_cast<size_t>(entry));
  const auto column = static_cast<size_t>(index.column());
  switch (role) {
    case HeaderRole:
      return false;
    case Qt::DisplayRole:
      if (IsSizeColumn(column) && row.Seen.Size >= 0) return ShortSizeText(row.Seen.Size);
      return FromBytes(CellText(row, column));
    case Qt::ToolTipRole:
      if (!row.Path.empty()) return FromBytes(row.Path);
      return FromBytes(CellText(row, column));
    case Qt::TextAlignmentRole:
      if (IsSizeColumn(column)) return QVariant(Qt::AlignRight | Qt::AlignVCenter);
      return {};
    case Qt::CheckStateRole:
      if (column == 0) return row.Checked ? Qt::Checked : Qt::Unchecked;
      return {};
    default:
      return {};
  }
}

bool ResultModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (role != Qt::CheckStateRole || FChecksLocked || index.column() != 0) return false;
  if (!IsLine(index)) return false;
  const std::optional<size_t> row = ListRowAt(index.row());
  if (!row) return false;
  // The list announces the change back through ChecksChanged, which tells the views.
  FList.SetChecked(*row, value.toInt() == Qt::Checked);
  return true;
}

Qt::ItemFlags ResultModel::flags(const QModelIndex& index) const {
  if (!IsLine(index)) return Qt::NoItemFlags;
  Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemNeverHasChildren;
  if (FEntries[static_cast<size_t>(index.row())] < 0) return flags;
  flags |= Qt::ItemIsSelectable;
  if (index.column() == 0 && !FChecksLocked) flags |= Qt::ItemIsUserCheckable;
  return flags;
}

QVariant ResultModel::headerData(int section, Qt::Orientation orientation, int role) const {
  const auto& columns = FList.Columns();
  if (orientation != Qt::Horizontal || section < 0 ||
      static_cast<size_t>(section) >= columns.size()) {
    return {};
  }
  if (role == Qt::DisplayRole) return FromBytes(columns[static_cast<size_t>(section)].Caption);
  return {};
}

void ResultModel::BeforeReset() {
  if (FResetDepth++ > 0) return;
  beginResetModel();
  // Nothing may be read through the old lines while the list changes under them (events are
  // handled in the middle of a listing): until the reset ends, the model shows no line.
  FEntries.clear();
  FViewRowOfRow.clear();
}

void ResultModel::AfterReset() {
  if (FResetDepth == 0 || --FResetDepth > 0) return;
  Rebuild();
  endResetModel();
}

void ResultModel::ChecksChanged(size_t first, size_t last) {
  if (FResetDepth > 0 || FEntries.empty()) return;
  int top = static_cast<int>(FEntries.size());
  int bottom = -1;
  for (size_t row = first; row <= last && row < FViewRowOfRow.size(); ++row) {
    const int line = FViewRowOfRow[row];
    if (line < 0) continue;
    top = std::min(top, line);
    bottom = std::max(bottom, line);
  }
  if (bottom < 0) return;
  emit dataChanged(index(top, 0), index(bottom, 0), {Qt::CheckStateRole});
}

void ResultModel::RepaintRequested() {
  emit repaintRequested();
}

void ResultModel::Rebuild() {
  FEntries.clear();
  FViewRowOfRow.assign(FList.RowCount(), -1);
  if (FList.GroupView()) {
    RebuildGrouped();
  } else {
    FEntries.reserve(FList.RowCount());
    for (size_t row = 0; row < FList.RowCount(); ++row)
      FEntries.push_back(static_cast<Entry>(row));
  }
  for (size_t line = 0; line < FEntries.size(); ++line) {
    if (FEntries[line] >= 0) FViewRowOfRow[static_cast<size_t>(FEntries[line])] = int(line);
  }
}

void ResultModel::RebuildGrouped() {
  // A counting sort of the rows by their group's position keeps the rows of each group in list
  // order even if they were not appended together. Rows of a group that is not in the list
  // come last, without a header, so that no row is ever hidden.
  const auto& groups = FList.Groups();
  const size_t orphans = groups.size();
  std::vector<size_t> slotOfRow(FList.RowCount());
  std::vector<size_t> count(groups.size() + 1, 0);
  for (size_t row = 0; row < FList.RowCount(); ++row) {
    const ptrdiff_t group = FList.GroupIndexOf(FList.Row(row).GroupId);
    slotOfRow[row] = group < 0 ? orphans : static_cast<size_t>(group);
    ++count[slotOfRow[row]];
  }
  std::vector<size_t> start(groups.size() + 1, 0);
  size_t line = 0;
  for (size_t slot = 0; slot <= orphans; ++slot) {
    if (slot < orphans && count[slot] > 0) ++line;  // the header
    start[slot] = line;
    line += count[slot];
  }
  FEntries.assign(line, 0);
  for (size_t slot = 0; slot < orphans; ++slot) {
    if (count[slot] > 0) FEntries[start[slot] - 1] = HeaderEntry(slot);
  }
  for (size_t row = 0; row < FList.RowCount(); ++row)
    FEntries[start[slotOfRow[row]]++] = static_cast<Entry>(row);
}

}  // namespace parvolane
