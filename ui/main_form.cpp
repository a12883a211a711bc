#include "ui/main_form.h"

#include <QAbstractEventDispatcher>
#include <QActionGroup>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QShortcut>
#include <QStyle>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <atomic>
#include <exception>
#include <span>
#include <thread>

#include "platform/program_info.h"
#include "ui/anchor_panel.h"
#include "ui/result_model.h"
#include "ui/result_view.h"
#include "ui/spin_field.h"

// The resources live in a static library: they must be registered by name, from outside any
// namespace, before the first icon is loaded.
static void InitUiResources() {
  Q_INIT_RESOURCE(resources);
}

namespace parvolane {

namespace {

using Anchor = AnchorPanel::Anchor;

constexpr int kDesignWidth = 1178;
constexpr int kDesignHeight = 709;
constexpr int kFontPixels = 11;
// The bottom buttons: the left group ends at 790, the right one starts at 814 by design.
constexpr int kBottomWrapWidth = kDesignWidth - 16;
constexpr int kBottomRowHeight = 32;
// Small enough for an 800 x 600 screen, large enough that no control covers another.
constexpr QSize kMinimumClientSize(800, 500);
// The lists' columns as first shown: the paths get the room.
constexpr int kFileColumnWidths[] = {60, 300, 520, 100};
constexpr int kDirColumnWidths[] = {60, 740, 160};

// Used until the real services are set: every dialog is cancelled, nothing reaches the desktop.
class NoDialogs final : public DialogService {
 public:
  void ShowMessage(const std::string&) override {}
  void ShowInformation(const std::string&) override {}
  void ShowError(const std::string&) override {}
  bool AskYesNo(const std::string&) override { return false; }
  std::optional<size_t> AskChoice(const std::string&, const std::vector<std::string>&,
                                  size_t) override {
    return std::nullopt;
  }
  std::optional<std::string> PickFolder(const std::string&) override { return std::nullopt; }
  std::optional<std::string> PickSaveFile(const std::string&) override { return std::nullopt; }
};

class NoShell final : public ShellService {
 public:
  TrashResult MoveToTrash(const std::vector<std::string>&) override { return {}; }
  std::string RestoreFromTrash(const TrashedItem&) override { return "no desktop"; }
  bool RevealFile(const std::string&) override { return false; }
  bool OpenFolder(const std::string&) override { return false; }
  bool OpenFile(const std::string&) override { return false; }
  bool OpenUrl(const std::string&) override { return false; }
  void StartProgram(const std::string&) override {}
};

QFont UiFont(int pixels) {
  // The platform's own interface font at the size the layout's pixel positions were made for.
  QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  font.setPixelSize(pixels);
  return font;
}

template <typename Widget>
Widget* Named(Widget* widget, const char* name) {
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
}

QPushButton* Button(const char* name, const char* text) {
  return Named(new QPushButton(QString::fromUtf8(text)), name);
}

QLabel* Label(const char* name, const char* text) {
  auto* label = Named(new QLabel(QString::fromUtf8(text)), name);
  label->adjustSize();
  return label;
}

QCheckBox* CheckBox(const char* name, const char* text, bool checked) {
  auto* box = Named(new QCheckBox(QString::fromUtf8(text)), name);
  box->setChecked(checked);
  return box;
}

QRect LabelRect(QLabel* label, int left, int top) {
  return QRect(QPoint(left, top), label->sizeHint());
}

}  // namespace

TMainForm::TMainForm(QWidget* parent) : QMainWindow(parent) {
  InitUiResources();
  FState.ReleaseRecordsOnceListed = true;  // the window works on the rows alone
  FDialogs = std::make_unique<NoDialogs>();
  FShell = std::make_unique<NoShell>();
  FormCreate();
}

TMainForm::~TMainForm() {
  if (FSaveTimer != nullptr && FSaveTimer->isActive()) SaveSettings();
  // The children about to go still signal (the folder list empties): nobody may act on them.
  StopWatchingSettings();
  // The views and their models go first: the models observe the lists that FState owns, and
  // FState is released after this body.
  delete PageControl1;
  PageControl1 = nullptr;
  if (FBusyCursor) QApplication::restoreOverrideCursor();
}

void TMainForm::SetServices(std::unique_ptr<DialogService> dialogs,
                            std::unique_ptr<ShellService> shell) {
  if (dialogs) FDialogs = std::move(dialogs);
  if (shell) FShell = std::move(shell);
}

DialogService& TMainForm::Dialogs() {
  return *FDialogs;
}

ShellService& TMainForm::Shell() {
  return *FShell;
}

void TMainForm::FormCreate() {
  setObjectName(QStringLiteral("MainForm"));
  setWindowTitle(QString::fromUtf8(MainWindowCaption));
  setWindowIcon(QIcon(QStringLiteral(":/icons/parvolane.svg")));
  setFont(UiFont(kFontPixels));

  auto* client = new QWidget(this);
  auto* column = new QVBoxLayout(client);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  BuildTopPanel();
  BuildPages();
  BuildBottomPanel();
  column->addWidget(PanelTop);
  column->addWidget(PageControl1, 1);
  column->addWidget(PanelBottom);
  setCentralWidget(client);

  SetFocusOrder();
  ConnectCommands();
  ConnectLists();
  btnStop->setEnabled(false);
  client->setMinimumSize(kMinimumClientSize);

  const QRect screenArea = screen()->availableGeometry();
  setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter,
                                  QSize(kDesignWidth, kDesignHeight), screenArea));
}

void TMainForm::BuildTopPanel() {
  PanelTop = Named(new AnchorPanel(kDesignWidth, 130), "PanelTop");
  AnchorPanel& p = *PanelTop;
  Label1 = Label("Label1", "Folders to scan:");
  p.Place(Label1, LabelRect(Label1, 8, 8), Anchor::Left);
  lbFolders = Named(new QListWidget, "lbFolders");
  lbFolders->setSelectionMode(QAbstractItemView::SingleSelection);
  p.Place(lbFolders, {8, 24, 433, 93}, Anchor::Stretch);
  btnAddFolder = Button("btnAddFolder", "Add folder...");
  p.Place(btnAddFolder, {463, 8, 120, 25}, Anchor::Right);
  btnRemoveFolder = Button("btnRemoveFolder", "Remove selected");
  p.Place(btnRemoveFolder, {463, 39, 120, 25}, Anchor::Right);
  chkFileDuplicates = CheckBox("chkFileDuplicates", "Find file clones", true);
  p.Place(chkFileDuplicates, {463, 75, 121, 17}, Anchor::Right);
  chkDirDuplicates = CheckBox("chkDirDuplicates", "Find folder clones", false);
  p.Place(chkDirDuplicates, {463, 100, 131, 17}, Anchor::Right);
  BuildCompareGroup();
  p.Place(rgCompare, {601, 6, 134, 109}, Anchor::Right);

  Label2 = Label("Label2", "File masks (CSV):");
  p.Place(Label2, LabelRect(Label2, 755, 8), Anchor::Right);
  edMasks = Named(new QLineEdit(QStringLiteral("*.*")), "edMasks");
  p.Place(edMasks, {755, 24, 133, 21}, Anchor::Right);
  Label3 = Label("Label3", "Min size (MB):");
  p.Place(Label3, LabelRect(Label3, 755, 56), Anchor::Right);
  seMinSizeMB = Named(new SpinField(0, 1048576, 1), "seMinSizeMB");
  p.Place(seMinSizeMB, {755, 72, 133, 22}, Anchor::Right);
  chkParallelHash = CheckBox("chkParallelHash", "Parallel hashing", true);
  p.Place(chkParallelHash, {755, 100, 116, 17}, Anchor::Right);
  chkHashCache = CheckBox("chkHashCache", "Use hash cache", true);
  chkHashCache->setToolTip(
      QStringLiteral("Take the hashes of unchanged files from the last scans instead of reading "
                     "the files again"));
  p.Place(chkHashCache, {877, 100, 116, 17}, Anchor::Right);
  // Shares the row of the other two: the panel's height is part of the window's design.
  chkCollapseNested = CheckBox("chkCollapseNested", "Hide nested folder groups", false);
  chkCollapseNested->setToolTip(
      QStringLiteral("Hide folder groups that lie inside a listed group"));
  p.Place(chkCollapseNested, {999, 100, 170, 17}, Anchor::Right);

  Label4 = Label("Label4", "Max groups (0 = all):");
  p.Place(Label4, LabelRect(Label4, 909, 8), Anchor::Right);
  seMaxGroups = Named(new SpinField(0, 1000000, 100), "seMaxGroups");
  p.Place(seMaxGroups, {909, 24, 133, 22}, Anchor::Right);
  Label5 = Label("Label5", "Min group size:");
  p.Place(Label5, LabelRect(Label5, 909, 56), Anchor::Right);
  seMinGroupSize = Named(new SpinField(2, 1000, 2), "seMinGroupSize");
  p.Place(seMinGroupSize, {909, 72, 133, 22}, Anchor::Right);

  // Narrow windows keep the folder list and its caption clear of the options.
  p.SetSqueeze(Label1->sizeHint().width() + 8 + 16);
  btnScan = Named(new QToolButton, "btnScan");
  btnScan->setText(QStringLiteral("Scan"));
  btnScan->setIcon(QIcon(QStringLiteral(":/icons/qr-code-scan.svg")));
  btnScan->setIconSize(QSize(42, 42));
  btnScan->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  btnScan->setFont(UiFont(13));
  btnScan->setFocusPolicy(Qt::StrongFocus);
  p.Place(btnScan, {1070, 14, 84, 80}, Anchor::Right);
}

void TMainForm::BuildCompareGroup() {
  rgCompare = Named(new QGroupBox(QStringLiteral("Compare files by")), "rgCompare");
  rgCompareItems = new QButtonGroup(rgCompare);
  auto* items = new QVBoxLayout(rgCompare);
  items->setContentsMargins(8, 4, 4, 4);
  items->setSpacing(2);
  for (size_t i = 0; i < kCompareModes.size(); ++i) {
    auto* item = new QRadioButton(FromBytes(kCompareModes[i].Caption), rgCompare);
    item->setObjectName(QStringLiteral("rgCompareItem%1").arg(i));
    rgCompareItems->addButton(item, static_cast<int>(i));
    items->addWidget(item);
  }
  CompareButton(kDefaultCompareMode)->setChecked(true);
}

CompareMode TMainForm::CheckedCompareMode() const {
  const int id = rgCompareItems->checkedId();
  if (id < 0 || static_cast<size_t>(id) >= kCompareModes.size()) return kDefaultCompareMode;
  return kCompareModes[static_cast<size_t>(id)].Mode;
}

QAbstractButton* TMainForm::CompareButton(CompareMode mode) const {
  for (size_t i = 0; i < kCompareModes.size(); ++i) {
    if (kCompareModes[i].Mode == mode) return rgCompareItems->button(static_cast<int>(i));
  }
  return nullptr;
}

void TMainForm::BuildPages() {
  PageControl1 = Named(new QTabWidget, "PageControl1");
  const auto addPage = [this](const char* pageName, const char* caption, const char* listName,
                              ResultList& list, ResultModel*& model, std::span<const int> widths) {
    auto* page = Named(new QWidget, pageName);
    auto* fill = new QVBoxLayout(page);
    fill->setContentsMargins(0, 0, 0, 0);
    auto* view = Named(new ResultView(page), listName);
    model = new ResultModel(list, view);
    view->SetResultModel(model);
    for (size_t i = 0; i < widths.size(); ++i)
      view->setColumnWidth(static_cast<int>(i), widths[i]);
    fill->addWidget(view);
    PageControl1->addTab(page, QString::fromUtf8(caption));
    return std::pair{page, view};
  };
  std::tie(tsFiles, lvFiles) =
      addPage("tsFiles", "File Clones", "lvFiles", FState.lvFiles, FFilesModel, kFileColumnWidths);
  std::tie(tsDirs, lvDirs) =
      addPage("tsDirs", "Folder Clones", "lvDirs", FState.lvDirs, FDirsModel, kDirColumnWidths);
  PageControl1->setCurrentWidget(tsFiles);
}

void TMainForm::BuildBottomPanel() {
  struct ButtonPlace {
    QPushButton* TMainForm::*Field;
    const char* Name;
    const char* Text;
    QRect Rect;
    Anchor How;
  };
  static const ButtonPlace kButtons[] = {
      {&TMainForm::btnSelectAllButOne,
       "btnSelectAllButOne",
       "Check all but one in group",
       {8, 9, 160, 25},
       Anchor::Left},
      {&TMainForm::btnCheckAll, "btnCheckAll", "Check all", {190, 9, 90, 25}, Anchor::Left},
      {&TMainForm::btnUncheckAll, "btnUncheckAll", "Uncheck all", {286, 9, 90, 25}, Anchor::Left},
      {&TMainForm::Button1, "Button1", "Open location", {382, 9, 119, 25}, Anchor::Left},
      {&TMainForm::btnDeleteSelected,
       "btnDeleteSelected",
       "Delete checked to Recycle Bin",
       {510, 9, 200, 25},
       Anchor::Left},
      {&TMainForm::btnExportFiles,
       "btnExportFiles",
       "Export Files CSV...",
       {814, 9, 132, 25},
       Anchor::Right},
      {&TMainForm::btnExportDirs,
       "btnExportDirs",
       "Export Dirs CSV...",
       {953, 9, 132, 25},
       Anchor::Right},
      {&TMainForm::Button2, "Button2", "About...", {1096, 9, 72, 25}, Anchor::Right},
  };
  PanelBottom = Named(new AnchorPanel(kDesignWidth, 81), "PanelBottom");
  for (const ButtonPlace& b : kButtons) {
    this->*b.Field = Button(b.Name, b.Text);
    PanelBottom->Place(this->*b.Field, b.Rect, b.How);
  }
  btnUndo = Button("btnUndo", "Undo");
  btnUndo->setToolTip(QStringLiteral("Put back what the last delete moved to the Recycle Bin"));
  btnUndo->hide();
  PanelBottom->Place(btnUndo, {718, 9, 72, 25}, Anchor::Left);
  BuildKeepRuleChoice();
  PanelBottom->Place(btnKeepRule, {168, 9, 18, 25}, Anchor::Left);
  // Narrower than the two button groups side by side, the right group takes a row of its own.
  PanelBottom->SetWrap(kBottomWrapWidth, kBottomRowHeight);
  Button2->setFont(UiFont(12));
  Button2->setToolTip(QStringLiteral("About program..."));
  BuildStatusStrip();
  PanelBottom->Place(Panel1, {0, 40, kDesignWidth, 41}, Anchor::Stretch);
}

void TMainForm::BuildKeepRuleChoice() {
  struct RuleItem {
    KeepRule Rule;
    const char* Text;
  };
  static const RuleItem kRules[] = {
      {KeepRule::First, "Keep the first found"},
      {KeepRule::Newest, "Keep the newest"},
      {KeepRule::Oldest, "Keep the oldest"},
      {KeepRule::ShortestPath, "Keep the shortest path"},
      {KeepRule::FolderOrder, "Keep the one in the highest folder to scan"},
  };
  btnKeepRule = Named(new QToolButton, "btnKeepRule");
  btnKeepRule->setArrowType(Qt::DownArrow);
  btnKeepRule->setPopupMode(QToolButton::InstantPopup);
  // The arrow says it all; the style's own menu mark beside it would only crowd it.
  btnKeepRule->setStyleSheet(QStringLiteral("QToolButton::menu-indicator { image: none; }"));
  auto* menu = Named(new QMenu(btnKeepRule), "KeepRuleMenu");
  auto* choices = new QActionGroup(menu);
  for (const RuleItem& item : kRules) {
    QAction* action = menu->addAction(QString::fromUtf8(item.Text));
    action->setObjectName(QStringLiteral("actKeep_") +
                          QString::fromStdString(KeepRuleName(item.Rule)));
    action->setCheckable(true);
    action->setData(static_cast<int>(item.Rule));
    choices->addAction(action);
    connect(action, &QAction::triggered, this, [this, rule = item.Rule] { SetKeepRule(rule); });
  }
  btnKeepRule->setMenu(menu);
  SetKeepRule(KeepRule::First);
}

void TMainForm::SetKeepRule(KeepRule rule) {
  FKeepRule = rule;
  for (QAction* action : btnKeepRule->menu()->actions()) {
    if (action->data().toInt() != static_cast<int>(rule)) continue;
    action->setChecked(true);
    const QString tip = QStringLiteral("Which copy \"Check all but one in group\" keeps: ") +
                        action->text().mid(5).toLower();
    btnKeepRule->setToolTip(tip);
    btnSelectAllButOne->setToolTip(tip);
  }
  emit settingChanged();
}

void TMainForm::BuildStatusStrip() {
  Panel1 = Named(new QWidget, "Panel1");
  auto* strip = new QHBoxLayout(Panel1);
  strip->setContentsMargins(10, 10, 10, 10);
  strip->setSpacing(0);
  lblStatus = Label("lblStatus", "Ready");
  lblStatus->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  // A long path in the status line must never widen the window.
  lblStatus->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  lblStatus->setMinimumWidth(1);
  ProgressBar = Named(new QProgressBar, "ProgressBar");
  ProgressBar->setRange(0, 100);
  ProgressBar->setValue(0);
  ProgressBar->setTextVisible(false);
  ProgressBar->setFixedSize(272, 21);
  btnStop = Button("btnStop", "Stop");
  btnStop->setFixedSize(72, 21);
  strip->addWidget(lblStatus, 1);
  BuildScanInfo(strip);
  strip->addSpacing(10);
  strip->addWidget(ProgressBar);
  strip->addSpacing(10);
  strip->addWidget(btnStop);
}

void TMainForm::BuildScanInfo(QHBoxLayout* strip) {
  lblBytes = Named(new QLabel, "lblBytes");
  lblSummary = Named(new QLabel, "lblSummary");
  for (QLabel* label : {lblBytes, lblSummary}) {
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    label->setMinimumWidth(1);  // a long summary is cut (its tooltip has it all), never widens
    label->setContentsMargins(10, 0, 0, 0);
    label->hide();
  }
  btnShowSkipped = Button("btnShowSkipped", "Show skipped...");
  btnShowSkipped->setFlat(true);
  btnShowSkipped->setFixedHeight(21);
  btnShowSkipped->hide();
  strip->addWidget(lblBytes);
  strip->addWidget(lblSummary);
  strip->addWidget(btnShowSkipped);
}

void TMainForm::SetFocusOrder() {
  // The pages between the panels keep their natural place in the chain.
  std::vector<QWidget*> top = {lbFolders, btnAddFolder, btnRemoveFolder, btnScan,
                               edMasks,   seMinSizeMB,  seMaxGroups,     seMinGroupSize};
  for (QAbstractButton* item : rgCompareItems->buttons())
    top.push_back(item);
  top.insert(top.end(), {chkFileDuplicates, chkDirDuplicates, chkParallelHash, chkHashCache,
                         chkCollapseNested});
  std::vector<QWidget*> bottom = {
      btnSelectAllButOne, btnCheckAll,   btnUncheckAll, btnDeleteSelected, btnUndo,
      btnExportFiles,     btnExportDirs, btnStop,       Button1,           Button2};
  for (std::vector<QWidget*>* chain : {&top, &bottom}) {
    for (size_t i = 1; i < chain->size(); ++i)
      setTabOrder((*chain)[i - 1], (*chain)[i]);
  }
}

void TMainForm::ConnectLists() {
  for (const ListKind kind : {ListKind::Files, ListKind::Dirs}) {
    ResultView* view = kind == ListKind::Files ? lvFiles : lvDirs;
    ResultList& list = kind == ListKind::Files ? FState.lvFiles : FState.lvDirs;
    connect(view, &ResultView::openRequested, this, [this, kind, &list](size_t row) {
      RunCommand([&] { OpenRowEntry(list, kind, row, Dialogs(), Shell()); });
    });
    connect(view, &ResultView::showInFolderRequested, this, [this, kind, &list](size_t row) {
      RunCommand([&] { OpenLocation(list, kind, row, Dialogs(), Shell()); });
    });
  }
  auto* removeKey = new QShortcut(QKeySequence::Delete, lbFolders);
  removeKey->setContext(Qt::WidgetShortcut);
  connect(removeKey, &QShortcut::activated, this, &TMainForm::btnRemoveFolderClick);
}

void TMainForm::ConnectCommands() {
  const auto wire = [this](QAbstractButton* button, void (TMainForm::*handler)()) {
    connect(button, &QAbstractButton::clicked, this, [this, handler] { (this->*handler)(); });
  };
  wire(btnScan, &TMainForm::btnScanClick);
  wire(btnStop, &TMainForm::btnStopClick);
  wire(btnAddFolder, &TMainForm::btnAddFolderClick);
  wire(btnRemoveFolder, &TMainForm::btnRemoveFolderClick);
  wire(btnSelectAllButOne, &TMainForm::btnSelectAllButOneClick);
  wire(btnCheckAll, &TMainForm::btnCheckAllClick);
  wire(btnUncheckAll, &TMainForm::btnUncheckAllClick);
  wire(Button1, &TMainForm::Button1Click);
  wire(btnDeleteSelected, &TMainForm::btnDeleteSelectedClick);
  wire(btnUndo, &TMainForm::btnUndoClick);
  wire(btnExportFiles, &TMainForm::btnExportFilesClick);
  wire(btnExportDirs, &TMainForm::btnExportDirsClick);
  wire(Button2, &TMainForm::Button2Click);
  wire(btnShowSkipped, &TMainForm::btnShowSkippedClick);
}

// --- Scan reporting -------------------------------------------------------------------------

void TMainForm::ReportStatus(const std::string& text) {
  const QString shown = FromBytes(text);
  lblStatus->setText(shown);
  emit statusReported(shown);
}

void TMainForm::SetProgressRange(int32_t min, int32_t max) {
  FProgressMin = min;
  FProgressMax = max;
  if (!FMarquee) ProgressBar->setRange(min, max);
}

void TMainForm::SetProgressPosition(int32_t position) {
  FProgressPosition = position;
  if (!FMarquee) ProgressBar->setValue(position);
}

void TMainForm::SetProgressMarquee(bool marquee) {
  if (FMarquee == marquee) return;
  FMarquee = marquee;
  if (marquee) {
    ProgressBar->setRange(0, 0);  // an empty range draws the busy indicator
  } else {
    ProgressBar->setRange(FProgressMin, FProgressMax);
    ProgressBar->setValue(FProgressPosition);
  }
}

void TMainForm::ReportBytes(int64_t done, int64_t total) {
  const auto now = std::chrono::steady_clock::now();
  const std::string text = FBytesMeter.Text(done, total, now, " \u00B7 ", LocaleDecimalSeparator());
  // Redrawn a few times a second at most; the last count always shows.
  if (lblBytes->isVisible() && done < total && now - FBytesShownAt < std::chrono::milliseconds(100))
    return;
  FBytesShownAt = now;
  lblBytes->setText(FromBytes(text));
  lblBytes->show();
}

void TMainForm::PumpEvents() {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

bool TMainForm::IsStopRequested() const {
  return FState.IsStopRequested();
}

void TMainForm::SetBusyCursor(bool on) {
  if (FBusyCursor == on) return;
  FBusyCursor = on;
  // The arrow with a busy indicator: the window still takes clicks (Stop among them).
  if (on) {
    QApplication::setOverrideCursor(Qt::BusyCursor);
  } else {
    QApplication::restoreOverrideCursor();
  }
}

ScanSettings TMainForm::CurrentSettings() {
  ScanSettings settings;
  settings.Folders = FolderList();
  settings.FindFileClones = chkFileDuplicates->isChecked();
  settings.FindFolderClones = chkDirDuplicates->isChecked();
  settings.Mode = CheckedCompareMode();
  settings.MaskText = edMasks->text().toStdString();
  settings.MinSizeMB = seMinSizeMB->Value();
  settings.MaxGroups = seMaxGroups->Value();
  settings.MinGroupSize = seMinGroupSize->Value();
  settings.ParallelHashing = chkParallelHash->isChecked();
  settings.UseHashCache = chkHashCache->isChecked();
  settings.CollapseNestedDirGroups = chkCollapseNested->isChecked();
  return settings;
}

void TMainForm::RunBlocking(const std::function<void()>& work) {
  std::atomic<bool> done{false};
  std::exception_ptr error;
  QObject waker;  // receives the worker's wake-up call on this thread
  std::thread worker([&] {
    try {
      work();
    } catch (...) {
      error = std::current_exception();
    }
    done.store(true, std::memory_order_release);
    QMetaObject::invokeMethod(
        &waker, [] {}, Qt::QueuedConnection);
  });
  // Every event is handled while the work runs. Nothing here ends the wait early (not even a
  // request to quit the application): the work refers to the caller's state, so the caller
  // may only go on once it has finished.
  while (!done.load(std::memory_order_acquire)) {
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
  worker.join();
  if (error) std::rethrow_exception(error);
}

// --- Commands -------------------------------------------------------------------------------

void TMainForm::btnScanClick() {
  if (FDriver.IsScanning()) return;  // two scans must never run on the same state
  SetEditCommandsEnabled(false);
  FDriver.btnScanClick([this] { ShowScanRunning(true); });
  ShowScanRunning(false);
  if (const std::optional<std::string> message = FDriver.OutcomeMessage())
    Dialogs().ShowMessage(*message);
  EndScanInfo(FDriver.LastOutcome());
  SetEditCommandsEnabled(true);
  // The next key press belongs to the results, never to a field whose text it would replace.
  if (FDriver.LastOutcome() == ScanOutcome::Done && isActiveWindow()) ActiveView()->setFocus();
  if (FCloseRequested) {
    FCloseRequested = false;
    close();
  }
}

void TMainForm::ShowScanRunning(bool running) {
  btnStop->setEnabled(running);
  if (running) HideScanInfo();  // what was said of the last scan no longer holds
  SetBusyCursor(running);
}

void TMainForm::btnStopClick() {
  FDriver.RequestStop();
}

void TMainForm::closeEvent(QCloseEvent* event) {
  if (FDriver.IsScanning()) {
    // The scan's stages still use the window's state: stop it, and close once it has unwound.
    FCloseRequested = true;
    FDriver.RequestStop();
    event->ignore();
    return;
  }
  SaveSettings();
  QMainWindow::closeEvent(event);
}

void TMainForm::SetEditCommandsEnabled(bool enabled) {
  for (QWidget* command :
       std::initializer_list<QWidget*>{btnScan, btnAddFolder, btnRemoveFolder, btnDeleteSelected,
                                       btnUndo, btnSelectAllButOne, btnCheckAll, btnUncheckAll}) {
    command->setEnabled(enabled);
  }
  btnKeepRule->setEnabled(enabled);
  FFilesModel->SetChecksLocked(!enabled);
  FDirsModel->SetChecksLocked(!enabled);
}

void TMainForm::RunCommand(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& e) {
    Dialogs().ShowError(e.what());
  } catch (...) {
    Dialogs().ShowError("Unknown error");
  }
}

std::vector<std::string> TMainForm::FolderList() const {
  std::vector<std::string> folders;
  folders.reserve(static_cast<size_t>(lbFolders->count()));
  for (int i = 0; i < lbFolders->count(); ++i)
    folders.push_back(lbFolders->item(i)->data(Qt::UserRole).toByteArray().toStdString());
  return folders;
}

void TMainForm::ShowFolderList(const std::vector<std::string>& folders) {
  // The entries keep the path's own bytes; the text shown may carry replacement characters.
  lbFolders->clear();
  for (const std::string& folder : folders) {
    auto* item = new QListWidgetItem(FromBytes(folder), lbFolders);
    item->setData(Qt::UserRole, QByteArray::fromStdString(folder));
    item->setToolTip(item->text());  // a narrow list cuts the path
  }
}

void TMainForm::btnAddFolderClick() {
  if (FDriver.IsScanning()) return;
  RunCommand([this] {
    std::vector<std::string> folders = FolderList();
    if (AddFolderFromPicker(folders, FLastAddFolderParent, Dialogs())) ShowFolderList(folders);
  });
}

void TMainForm::btnRemoveFolderClick() {
  if (FDriver.IsScanning()) return;
  const QList<QListWidgetItem*> selected = lbFolders->selectedItems();
  if (selected.isEmpty()) return;
  delete lbFolders->takeItem(lbFolders->row(selected.first()));
}

ResultList& TMainForm::ActiveList() {
  return ActiveKind() == ListKind::Files ? FState.lvFiles : FState.lvDirs;
}

ListKind TMainForm::ActiveKind() const {
  return PageControl1->currentWidget() == tsFiles ? ListKind::Files : ListKind::Dirs;
}

ResultView* TMainForm::ActiveView() const {
  return ActiveKind() == ListKind::Files ? lvFiles : lvDirs;
}

void TMainForm::btnSelectAllButOneClick() {
  if (FDriver.IsScanning()) return;
  CheckAllButOneInGroup(ActiveList(), FKeepRule, FolderList());
}

void TMainForm::btnCheckAllClick() {
  if (FDriver.IsScanning()) return;
  CheckAll(ActiveList());
}

void TMainForm::btnUncheckAllClick() {
  if (FDriver.IsScanning()) return;
  UncheckAll(ActiveList());
}

void TMainForm::Button1Click() {
  RunCommand([this] {
    OpenLocation(ActiveList(), ActiveKind(), ActiveView()->SelectedListRow(), Dialogs(), Shell());
  });
}

void TMainForm::btnDeleteSelectedClick() {
  if (FDriver.IsScanning() || !btnDeleteSelected->isEnabled()) return;
  RunCommand([this] {
    // The disk is looked at off this thread; meanwhile nothing may change the lists.
    const BlockingRunner runBlocking = [this](const std::function<void()>& work) {
      SetEditCommandsEnabled(false);
      try {
        RunBlocking(work);
      } catch (...) {
        SetEditCommandsEnabled(true);
        throw;
      }
      SetEditCommandsEnabled(true);
    };
    std::optional<DeleteReceipt> moved = DeleteCheckedToTrash(
        {FState.lvFiles, FState.lvDirs}, ActiveKind(), Dialogs(), Shell(), runBlocking);
    if (!moved) return;
    FLastDelete = std::move(moved);
    btnUndo->show();
  });
}

void TMainForm::btnUndoClick() {
  if (FDriver.IsScanning() || !FLastDelete) return;
  RunCommand([this] {
    const DeleteReceipt receipt = std::move(*FLastDelete);
    FLastDelete.reset();
    btnUndo->hide();
    UndoDelete(receipt, Dialogs(), Shell());
  });
}

void TMainForm::btnExportFilesClick() {
  RunCommand([this] { ExportListWithDialog(FState.lvFiles, ListKind::Files, Dialogs()); });
}

void TMainForm::btnExportDirsClick() {
  RunCommand([this] { ExportListWithDialog(FState.lvDirs, ListKind::Dirs, Dialogs()); });
}

void TMainForm::Button2Click() {
  RunCommand([this] { ShowAbout(Dialogs()); });
}

// --- Scan summary ---------------------------------------------------------------------------

void TMainForm::HideScanInfo() {
  lblBytes->hide();
  lblSummary->hide();
  btnShowSkipped->hide();
  FBytesMeter.Reset();
}

void TMainForm::EndScanInfo(ScanOutcome outcome) {
  // A refused scan changes nothing; a stopped or failed one has nothing whole to sum up.
  if (outcome == ScanOutcome::NoFolders || outcome == ScanOutcome::InvalidMask) return;
  HideScanInfo();
  if (outcome == ScanOutcome::Done) ShowScanSummary();
}

void TMainForm::ShowScanSummary() {
  const ScanFacts facts =
      SummarizeScan(FState.lvFiles, FState.lvDirs, FState.Summary, chkFileDuplicates->isChecked(),
                    chkDirDuplicates->isChecked());
  const QString text = FromBytes(SummaryText(facts, LocaleDecimalSeparator()));
  lblSummary->setText(text);
  lblSummary->setToolTip(text);
  lblSummary->show();
  btnShowSkipped->setVisible(facts.Skipped > 0 || facts.FolderErrors > 0);
}

void TMainForm::btnShowSkippedClick() {
  RunCommand([this] { Dialogs().ShowInformation(SkippedListText(FState.Summary)); });
}

}  // namespace parvolane
