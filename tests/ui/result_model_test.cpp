#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QTest>
#include <memory>

#include "engine/clone_rows.h"
#include "engine/file_info.h"
#include "engine/scan_settings.h"
#include "results/result_list.h"
#include "ui/result_model.h"
#include "ui/result_view.h"

using namespace parvolane;

class ResultModelTest : public QObject {
  Q_OBJECT

 private:
  // Groups of the given sizes, filled the way a scan lists them.
  static void ListFileGroups(ResultList& list, TFileList& files, const std::vector<int>& sizes) {
    bool saved = true;
    BeginListUpdate(list, saved);
    int groupNo = 1;
    for (int size : sizes) {
      std::vector<TFileInfo*> members;
      for (int i = 0; i < size; ++i) {
        files.push_back(std::make_unique<TFileInfo>(
            "/data/g" + std::to_string(groupNo) + "/f" + std::to_string(i), 1000));
        members.push_back(files.back().get());
      }
      AddFileGroupToList(list, members, 1000 * size, groupNo);
    }
    EndListUpdate(list, saved);
  }

  // A file list with groups of the given sizes, shown through a model under test.
  struct Listed {
    ResultList list{FileListColumns()};
    TFileList files;
    ResultModel model{list};
    QAbstractItemModelTester tester{&model, QAbstractItemModelTester::FailureReportingMode::QtTest};
    explicit Listed(const std::vector<int>& sizes) { ListFileGroups(list, files, sizes); }
  };

  static QString Line(const QAbstractItemModel& model, int row, int column = 0) {
    return model.index(row, column).data().toString();
  }

 private slots:
  void showsGroupsAsHeaderLinesFollowedByTheirRows() {
    Listed l({3, 2});
    ResultModel& model = l.model;

    QCOMPARE(model.rowCount(), 7);
    QCOMPARE(model.columnCount(), 4);
    QCOMPARE(model.headerData(2, Qt::Horizontal, Qt::DisplayRole).toString(), "Directory");
    QCOMPARE(Line(model, 0), QString::fromStdString("Group 1 (" + FormatSizeMB(3000) + ")"));
    QVERIFY(model.index(0, 0).data(ResultModel::HeaderRole).toBool());
    QVERIFY(!model.index(0, 0).data(Qt::CheckStateRole).isValid());
    QVERIFY(!(model.flags(model.index(0, 0)) & Qt::ItemIsSelectable));
    QCOMPARE(Line(model, 1, 1), "f0");
    QCOMPARE(Line(model, 1, 2), "/data/g1");
    QCOMPARE(model.index(1, 0).data(Qt::CheckStateRole).toInt(), int(Qt::Unchecked));
    QCOMPARE(model.index(2, 0).data(Qt::CheckStateRole).toInt(), int(Qt::Checked));
    QCOMPARE(Line(model, 4), QString::fromStdString("Group 2 (" + FormatSizeMB(2000) + ")"));
    QCOMPARE(model.ListRowAt(0), std::nullopt);
    QCOMPARE(model.ListRowAt(5), std::optional<size_t>(3));
    QCOMPARE(model.ViewRowOf(3), 5);
    QCOMPARE(model.ListRowAt(7), std::nullopt);
  }

  void checkBoxesWriteTheListAndChangesReachTheView() {
    Listed l({2, 2});
    ResultList& list = l.list;
    ResultModel& model = l.model;
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);

    QVERIFY(model.setData(model.index(1, 0), Qt::Checked, Qt::CheckStateRole));
    QVERIFY(list.Row(0).Checked);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.at(0).at(0).toModelIndex().row(), 1);

    QVERIFY(!model.setData(model.index(0, 0), Qt::Checked, Qt::CheckStateRole));  // a header
    QVERIFY(!model.setData(model.index(1, 1), Qt::Unchecked, Qt::CheckStateRole));

    // One signal for a whole walk over the list, spanning the lines that changed.
    changed.clear();
    UncheckAll(list);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.at(0).at(0).toModelIndex().row(), 1);
    QCOMPARE(changed.at(0).at(1).toModelIndex().row(), 5);
    QCOMPARE(model.index(5, 0).data(Qt::CheckStateRole).toInt(), int(Qt::Unchecked));
  }

  void lockedChecksCannotBeChangedFromAView() {
    Listed l({2});
    ResultList& list = l.list;
    ResultModel& model = l.model;
    model.SetChecksLocked(true);
    QVERIFY(!(model.flags(model.index(1, 0)) & Qt::ItemIsUserCheckable));
    QVERIFY(!model.setData(model.index(1, 0), Qt::Checked, Qt::CheckStateRole));
    QVERIFY(!list.Row(0).Checked);
    model.SetChecksLocked(false);
    QVERIFY(model.setData(model.index(1, 0), Qt::Checked, Qt::CheckStateRole));
  }

  void removedRowsLeaveNoEmptyHeaderAndStrayRowsStayVisible() {
    Listed l({2, 2});
    ResultList& list = l.list;
    ResultModel& model = l.model;
    list.SetChecked(2, true);  // group 2 is now fully checked
    list.RemoveCheckedRows();  // removes the second row of group 1 and both of group 2
    QCOMPARE(list.Groups().size(), size_t{2});
    QCOMPARE(model.rowCount(), 2);  // group 1's header and its remaining row
    QCOMPARE(model.ListRowAt(1), std::optional<size_t>(0));

    ResultRow stray;
    stray.GroupId = 99;
    stray.IsFile = true;
    stray.Path = "/x/stray";
    list.AddRow(std::move(stray));
    QCOMPARE(model.rowCount(), 3);
    QCOMPARE(Line(model, 2, 1), "stray");
  }

  void groupDisplayOffShowsRowsAlone() {
    Listed l({2, 3});
    ResultList& list = l.list;
    ResultModel& model = l.model;
    list.SetGroupView(false);
    QCOMPARE(model.rowCount(), 5);
    QCOMPARE(model.ListRowAt(4), std::optional<size_t>(4));
    list.SetGroupView(true);
    QCOMPARE(model.rowCount(), 7);
  }

  void showsNoLineWhileAListingIsUnderWay() {
    // Events are handled in the middle of a listing; nothing may then be read through lines
    // whose rows are already gone.
    Listed l({3});
    ResultList& list = l.list;
    ResultModel& model = l.model;
    bool saved = true;
    BeginListUpdate(list, saved);
    list.ClearRows();
    QCOMPARE(model.rowCount(), 0);
    QVERIFY(!model.index(1, 1).data().isValid());
    EndListUpdate(list, saved);
    QCOMPARE(model.rowCount(), 0);  // a group without rows shows no header
  }

  void textsThatAreNotUtf8ShowReplacementCharacters() {
    ResultList list(DirListColumns());
    ResultModel model(list);
    const std::string invalid = "/data/caf\xe9";
    std::unordered_map<std::string, int64_t> sizes{{invalid, 5}};
    int groupNo = 1;
    AddDirGroupToList(list, {invalid, "/data/b"}, sizes, 10, groupNo);
    QCOMPARE(Line(model, 1, 1), QStringLiteral("/data/caf\uFFFD"));
    QCOMPARE(RowTexts(list.Row(0))[1], invalid);  // the stored bytes are untouched
  }

  void viewReportsTheSelectedRowAndNothingForAHeader() {
    Listed l({2, 2});
    ResultModel& model = l.model;
    ResultView view;
    view.SetResultModel(&model);
    QCOMPARE(view.SelectedListRow(), std::nullopt);
    view.selectionModel()->select(model.index(4, 0),
                                  QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    QCOMPARE(view.SelectedListRow(), std::optional<size_t>(2));
    view.setCurrentIndex(model.index(3, 0));  // a header: not selectable
    QCOMPARE(view.SelectedListRow(), std::nullopt);
  }
};

QTEST_MAIN(ResultModelTest)
#include "result_model_test.moc"
