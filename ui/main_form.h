#pragma once

#include <QMainWindow>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "engine/scan_driver.h"
#include "engine/scan_reporter.h"
#include "engine/scan_state.h"
#include "engine/scan_summary_text.h"
#include "platform/services.h"
#include "ui/result_actions.h"

class QAbstractButton;
class QButtonGroup;
class QCheckBox;
class QGroupBox;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QTabWidget;
class QTimer;
class QToolButton;

namespace parvolane {

class AnchorPanel;
class ResultModel;
class ResultView;
class SpinField;

/// The main window: the folder list and scan options, the two result lists on their tabs, the
/// action buttons and the status strip. It owns the scan state and runs scans on the
/// user-interface thread, reporting through its ScanReporter side; around each scan it shows its
/// busy look (cursor, Stop) and the driver's messages itself. Commands stay usable during a
/// scan because the engine pumps events, and a whole-tree walk runs on a helper thread while
/// the window keeps handling events.
class TMainForm final : public QMainWindow, public ScanReporter {
  Q_OBJECT

 public:
  explicit TMainForm(QWidget* parent = nullptr);
  ~TMainForm() override;
  TMainForm(const TMainForm&) = delete;
  TMainForm& operator=(const TMainForm&) = delete;

  /// The dialogs and desktop actions the window uses; set once, before it is shown.
  void SetServices(std::unique_ptr<DialogService> dialogs, std::unique_ptr<ShellService> shell);

  // ScanReporter
  void ReportStatus(const std::string& text) override;
  void SetProgressRange(int32_t min, int32_t max) override;
  void SetProgressPosition(int32_t position) override;
  void SetProgressMarquee(bool marquee) override;
  void ReportBytes(int64_t done, int64_t total) override;
  void PumpEvents() override;
  bool IsStopRequested() const override;
  ScanSettings CurrentSettings() override;
  void RunBlocking(const std::function<void()>& work) override;

  // Command handlers, one per button.
  void btnScanClick();
  void btnStopClick();
  void btnAddFolderClick();
  void btnRemoveFolderClick();
  void btnSelectAllButOneClick();
  void btnCheckAllClick();
  void btnUncheckAllClick();
  void Button1Click();
  void btnDeleteSelectedClick();
  /// Puts back what the last delete moved; offered from a successful delete until used.
  void btnUndoClick();
  void btnExportFilesClick();
  void btnExportDirsClick();
  void Button2Click();
  /// "Show skipped": the scan folders that could not be scanned and the entries skipped.
  void btnShowSkippedClick();

  /// Remembers the folders, the options, the window size and the keep rule in `file` (INI):
  /// reads them now and writes them whenever they change. A file that cannot be read or
  /// parsed leaves the defaults, and so does any value out of its range. A window that never
  /// calls this (every test window) remembers nothing.
  void RememberSettingsIn(const QString& file);
  /// Writes the remembered settings now (nothing when none are remembered).
  void SaveSettings();
  /// The settings file in the user's configuration folder.
  static QString DefaultSettingsFile();

  /// The copy "Check all but one in group" keeps.
  void SetKeepRule(KeepRule rule);
  KeepRule CurrentKeepRule() const { return FKeepRule; }

  /// Shows what the scan state's results hold and what the scan skipped, beside the status.
  void ShowScanSummary();

  /// The list of the tab shown: the file list when "File Clones" is the current page.
  ResultList& ActiveList();
  ListKind ActiveKind() const;
  ResultView* ActiveView() const;

  /// The compare mode of the checked radio button; the default mode when none is checked.
  CompareMode CheckedCompareMode() const;
  /// The radio button of a compare mode.
  QAbstractButton* CompareButton(CompareMode mode) const;

  ScanState& State() { return FState; }
  const ScanDriver& Driver() const { return FDriver; }
  bool IsScanning() const { return FDriver.IsScanning(); }

  // Top panel
  AnchorPanel* PanelTop = nullptr;
  QLabel* Label1 = nullptr;
  QListWidget* lbFolders = nullptr;
  QPushButton* btnAddFolder = nullptr;
  QPushButton* btnRemoveFolder = nullptr;
  QCheckBox* chkFileDuplicates = nullptr;
  QCheckBox* chkDirDuplicates = nullptr;
  QGroupBox* rgCompare = nullptr;
  QButtonGroup* rgCompareItems = nullptr;  // ids are positions in kCompareModes
  QLabel* Label2 = nullptr;
  QLineEdit* edMasks = nullptr;
  QLabel* Label3 = nullptr;
  SpinField* seMinSizeMB = nullptr;
  QCheckBox* chkParallelHash = nullptr;
  QCheckBox* chkHashCache = nullptr;
  QCheckBox* chkCollapseNested = nullptr;
  QLabel* Label4 = nullptr;
  SpinField* seMaxGroups = nullptr;
  QLabel* Label5 = nullptr;
  SpinField* seMinGroupSize = nullptr;
  QToolButton* btnScan = nullptr;
  // Result pages
  QTabWidget* PageControl1 = nullptr;
  QWidget* tsFiles = nullptr;
  QWidget* tsDirs = nullptr;
  ResultView* lvFiles = nullptr;
  ResultView* lvDirs = nullptr;
  // Bottom panel and status strip
  AnchorPanel* PanelBottom = nullptr;
  QPushButton* btnSelectAllButOne = nullptr;
  QToolButton* btnKeepRule = nullptr;  // which copy "Check all but one in group" keeps
  QPushButton* btnCheckAll = nullptr;
  QPushButton* btnUncheckAll = nullptr;
  QPushButton* Button1 = nullptr;
  QPushButton* btnDeleteSelected = nullptr;
  QPushButton* btnUndo = nullptr;  // shown while the last delete can be undone
  QPushButton* btnExportFiles = nullptr;
  QPushButton* btnExportDirs = nullptr;
  QPushButton* Button2 = nullptr;
  QWidget* Panel1 = nullptr;
  QLabel* lblStatus = nullptr;
  // Beside the status line: bytes read while hashing, then the summary of the scan.
  QLabel* lblBytes = nullptr;
  QLabel* lblSummary = nullptr;
  QPushButton* btnShowSkipped = nullptr;
  QProgressBar* ProgressBar = nullptr;
  QPushButton* btnStop = nullptr;

 signals:
  /// Every text written to the status line, in order (benchmarks and tests follow a scan).
  void statusReported(const QString& text);
  /// Something worth remembering between runs changed.
  void settingChanged();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void FormCreate();
  void BuildTopPanel();
  void BuildCompareGroup();
  void BuildPages();
  void BuildBottomPanel();
  void BuildStatusStrip();
  void BuildScanInfo(QHBoxLayout* strip);
  void HideScanInfo();
  /// The look of a running scan (busy cursor, Stop enabled), or back to the idle one.
  void ShowScanRunning(bool running);
  void SetBusyCursor(bool on);
  void EndScanInfo(ScanOutcome outcome);
  void SetFocusOrder();
  void ConnectCommands();
  void ConnectLists();
  void BuildKeepRuleChoice();
  void LoadSettings();
  void WatchSettings();
  void StopWatchingSettings();
  void SaveSettingsSoon();

  std::vector<std::string> FolderList() const;
  void ShowFolderList(const std::vector<std::string>& folders);
  /// Commands that change the folder list, the result lists or the records are off while a
  /// scan walks them.
  void SetEditCommandsEnabled(bool enabled);
  /// Runs a command's action; an error that escapes it is shown with its own text.
  void RunCommand(const std::function<void()>& action);
  DialogService& Dialogs();
  ShellService& Shell();

  ScanState FState;
  ScanDriver FDriver{FState, *this};
  std::unique_ptr<DialogService> FDialogs;
  std::unique_ptr<ShellService> FShell;
  std::optional<DeleteReceipt> FLastDelete;
  ResultModel* FFilesModel = nullptr;
  ResultModel* FDirsModel = nullptr;
  std::string FLastAddFolderParent;
  KeepRule FKeepRule = KeepRule::First;
  QString FSettingsFile;  // empty: nothing is remembered
  QTimer* FSaveTimer = nullptr;
  // The progress range to return to when the marquee ends.
  int32_t FProgressMin = 0;
  int32_t FProgressMax = 100;
  int32_t FProgressPosition = 0;
  bool FMarquee = false;
  bool FBusyCursor = false;
  bool FCloseRequested = false;
  ByteProgressMeter FBytesMeter;
  std::chrono::steady_clock::time_point FBytesShownAt{};
};

}  // namespace parvolane
