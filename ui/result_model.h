#pragma once

#include <QAbstractTableModel>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "results/result_list.h"

namespace parvolane {

/// Program bytes (names as the file system holds them, UTF-8 texts) as shown text. Names that
/// are not valid UTF-8 show with replacement characters; the stored bytes, which the actions
/// use, are never touched.
QString FromBytes(std::string_view text);

/// A size as the lists show it: bytes below 1 KB, else KB, MB, GB or TB with three digits.
QString ShortSizeText(int64_t bytes);

/// Shows a ResultList to Qt views without copying its rows. Each group becomes a header line
/// followed by its rows, all on one level: a flat table keeps a reset of several hundred
/// thousand rows down to filling one index vector, where a tree of groups would make the view
/// expand (and remember) every group one by one. Groups that have lost all their rows show no
/// header. With group display off the rows are shown alone, in list order.
///
/// Check marks live in column 0 (Qt::CheckStateRole) and are written back to the list.
/// Threading: the user-interface thread only, like the list.
class ResultModel final : public QAbstractTableModel, public ResultListObserver {
  Q_OBJECT

 public:
  /// True for a group's header line.
  static constexpr int HeaderRole = Qt::UserRole + 1;

  explicit ResultModel(ResultList& list, QObject* parent = nullptr);
  ~ResultModel() override;
  ResultModel(const ResultModel&) = delete;
  ResultModel& operator=(const ResultModel&) = delete;

  ResultList& List() const { return FList; }

  /// The list row shown on a line of the view; nothing for a header line or a line that no
  /// longer exists.
  std::optional<size_t> ListRowAt(int viewRow) const;
  /// The view line of a list row, or -1.
  int ViewRowOf(size_t listRow) const;

  /// While locked, check boxes cannot be changed from a view.
  void SetChecksLocked(bool locked);
  bool ChecksLocked() const { return FChecksLocked; }

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  void BeforeReset() override;
  void AfterReset() override;
  void ChecksChanged(size_t first, size_t last) override;
  void RepaintRequested() override;

 signals:
  void repaintRequested();

 private:
  // A view line: a list row (>= 0) or the header of the group at Groups()[-(entry + 1)].
  using Entry = int64_t;
  static Entry HeaderEntry(size_t groupIndex) { return -static_cast<Entry>(groupIndex) - 1; }

  bool IsLine(const QModelIndex& index) const;
  bool IsSizeColumn(size_t column) const;
  void Rebuild();
  void RebuildGrouped();

  ResultList& FList;
  std::vector<Entry> FEntries;
  std::vector<int> FViewRowOfRow;  // list row -> view line
  int FResetDepth = 0;
  bool FChecksLocked = false;
};

}  // namespace parvolane
