// What the main window remembers between runs.
#include <QAbstractItemModel>
#include <QButtonGroup>
#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QListWidget>
#include <QRadioButton>
#include <QScreen>
#include <QSettings>
#include <QStandardPaths>
#include <QTimer>

#include "ui/main_form.h"
#include "ui/spin_field.h"

namespace parvolane {

namespace {

// Raised when a stored value changes its meaning; an older file is then left unread.
constexpr int kSettingsVersion = 1;

std::optional<int> IntOf(const QSettings& store, const char* key) {
  bool ok = false;
  const int value = store.value(QLatin1String(key)).toInt(&ok);
  return ok ? std::optional<int>(value) : std::nullopt;
}

void ReadCheck(const QSettings& store, const char* key, QCheckBox* box) {
  const QVariant value = store.value(QLatin1String(key));
  const QString text = value.toString();
  if (text == QLatin1String("true") || text == QLatin1String("false"))
    box->setChecked(text == QLatin1String("true"));
}

void ReadSpin(const QSettings& store, const char* key, SpinField* field) {
  const std::optional<int> value = IntOf(store, key);
  if (value && *value >= field->Minimum() && *value <= field->Maximum()) field->SetValue(*value);
}

/// The rect moved up or left as far as it sticks out of the area; its top left corner stays
/// inside when even it is larger.
QRect MovedInside(QRect rect, const QRect& area) {
  if (rect.right() > area.right()) rect.moveRight(area.right());
  if (rect.bottom() > area.bottom()) rect.moveBottom(area.bottom());
  if (rect.left() < area.left()) rect.moveLeft(area.left());
  if (rect.top() < area.top()) rect.moveTop(area.top());
  return rect;
}

/// A remembered size on the screen the window opens on now, which may be smaller than the one
/// it was saved on: never larger than the screen's free area, frame included, and all of the
/// window on it.
void RestoreWindowSize(QWidget& window, const QSize& saved) {
  const QSize minimum = window.minimumSizeHint();
  if (window.screen() == nullptr) return window.resize(saved.expandedTo(minimum));
  const QRect area = window.screen()->availableGeometry();
  // The window manager's frame is known only once the window is shown; before, it is none.
  const QRect inner = window.geometry();
  const QRect outer = window.frameGeometry();
  const QMargins frame(inner.left() - outer.left(), inner.top() - outer.top(),
                       outer.right() - inner.right(), outer.bottom() - inner.bottom());
  const QSize room = area.size().shrunkBy(frame);
  const QRect wanted(inner.topLeft(), saved.boundedTo(room).expandedTo(minimum));
  window.setGeometry(MovedInside(wanted + frame, area) - frame);
}

}  // namespace

QString TMainForm::DefaultSettingsFile() {
  return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
         QStringLiteral("/parvolane/parvolane.conf");
}

void TMainForm::RememberSettingsIn(const QString& file) {
  const bool first = FSettingsFile.isEmpty();
  FSettingsFile = file;
  LoadSettings();
  if (first) WatchSettings();
}

void TMainForm::LoadSettings() {
  if (!QFileInfo::exists(FSettingsFile)) return;
  const QSettings store(FSettingsFile, QSettings::IniFormat);
  // A file that cannot be read or parsed, or that an other version wrote, is not half-used.
  if (store.status() != QSettings::NoError || IntOf(store, "version") != kSettingsVersion) return;
  std::vector<std::string> folders;
  for (const QVariant& folder : store.value(QStringLiteral("folders")).toList()) {
    const QByteArray path = folder.toByteArray();
    if (path.startsWith('/')) folders.push_back(path.toStdString());
  }
  ShowFolderList(folders);
  ReadCheck(store, "findFileClones", chkFileDuplicates);
  ReadCheck(store, "findFolderClones", chkDirDuplicates);
  ReadCheck(store, "parallelHashing", chkParallelHash);
  ReadCheck(store, "useHashCache", chkHashCache);
  ReadCheck(store, "collapseNestedFolderGroups", chkCollapseNested);
  if (const std::optional<int> number = IntOf(store, "compareMode")) {
    if (const std::optional<CompareMode> mode = CompareModeFromStoredNumber(*number))
      CompareButton(*mode)->setChecked(true);
  }
  if (store.contains(QStringLiteral("masks")))
    edMasks->setText(store.value(QStringLiteral("masks")).toString());
  ReadSpin(store, "minSizeMB", seMinSizeMB);
  ReadSpin(store, "maxGroups", seMaxGroups);
  ReadSpin(store, "minGroupSize", seMinGroupSize);
  SetKeepRule(KeepRuleFromName(store.value(QStringLiteral("keepRule")).toString().toStdString()));
  const QSize size = store.value(QStringLiteral("windowSize")).toSize();
  if (size.isValid()) RestoreWindowSize(*this, size);
}

void TMainForm::SaveSettings() {
  if (FSettingsFile.isEmpty()) return;
  if (FSaveTimer != nullptr) FSaveTimer->stop();
  QDir().mkpath(QFileInfo(FSettingsFile).absolutePath());
  QSettings store(FSettingsFile, QSettings::IniFormat);
  store.clear();  // whatever was broken in the file goes
  store.setValue(QStringLiteral("version"), kSettingsVersion);
  QVariantList folders;
  for (const std::string& folder : FolderList())
    folders.push_back(QByteArray::fromStdString(folder));
  store.setValue(QStringLiteral("folders"), folders);
  store.setValue(QStringLiteral("findFileClones"), chkFileDuplicates->isChecked());
  store.setValue(QStringLiteral("findFolderClones"), chkDirDuplicates->isChecked());
  store.setValue(QStringLiteral("parallelHashing"), chkParallelHash->isChecked());
  store.setValue(QStringLiteral("useHashCache"), chkHashCache->isChecked());
  store.setValue(QStringLiteral("collapseNestedFolderGroups"), chkCollapseNested->isChecked());
  store.setValue(QStringLiteral("compareMode"), InfoOf(CheckedCompareMode()).StoredNumber);
  store.setValue(QStringLiteral("masks"), edMasks->text());
  store.setValue(QStringLiteral("minSizeMB"), seMinSizeMB->Value());
  store.setValue(QStringLiteral("maxGroups"), seMaxGroups->Value());
  store.setValue(QStringLiteral("minGroupSize"), seMinGroupSize->Value());
  store.setValue(QStringLiteral("keepRule"), QString::fromStdString(KeepRuleName(FKeepRule)));
  if (!isMaximized() && !isFullScreen()) store.setValue(QStringLiteral("windowSize"), size());
  store.sync();  // a file that cannot be written is left as it is; the window goes on
}

void TMainForm::SaveSettingsSoon() {
  if (!FSettingsFile.isEmpty() && FSaveTimer != nullptr) FSaveTimer->start();
}

void TMainForm::WatchSettings() {
  // Changes come in bursts (typing a mask, dragging the window's edge): one write after them.
  FSaveTimer = new QTimer(this);
  FSaveTimer->setSingleShot(true);
  FSaveTimer->setInterval(300);
  connect(FSaveTimer, &QTimer::timeout, this, &TMainForm::SaveSettings);
  const auto soon = [this] { SaveSettingsSoon(); };
  QAbstractItemModel* folders = lbFolders->model();
  connect(folders, &QAbstractItemModel::rowsInserted, this, soon);
  connect(folders, &QAbstractItemModel::rowsRemoved, this, soon);
  connect(folders, &QAbstractItemModel::modelReset, this, soon);
  for (QCheckBox* box :
       {chkFileDuplicates, chkDirDuplicates, chkParallelHash, chkHashCache, chkCollapseNested})
    connect(box, &QCheckBox::toggled, this, soon);
  connect(rgCompareItems, &QButtonGroup::idToggled, this, soon);
  connect(edMasks, &QLineEdit::textChanged, this, soon);
  for (SpinField* field : {seMinSizeMB, seMaxGroups, seMinGroupSize})
    connect(field, &QAbstractSpinBox::editingFinished, this, soon);
  connect(this, &TMainForm::settingChanged, this, soon);
}

void TMainForm::StopWatchingSettings() {
  if (FSaveTimer == nullptr) return;
  FSaveTimer->stop();
  for (QObject* sender : std::initializer_list<QObject*>{
           lbFolders->model(), chkFileDuplicates, chkDirDuplicates, chkParallelHash, chkHashCache,
           chkCollapseNested, rgCompareItems, edMasks, seMinSizeMB, seMaxGroups, seMinGroupSize}) {
    disconnect(sender, nullptr, this, nullptr);
  }
  FSettingsFile.clear();
}

void TMainForm::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  SaveSettingsSoon();
}

}  // namespace parvolane
