#include "ui/result_actions.h"

#include <algorithm>
#include <ctime>
#include <exception>
#include <iterator>

#include "engine/paths.h"
#include "platform/program_info.h"
#include "results/csv_export.h"

namespace parvolane {

namespace {

/// The texts of the delete command for one kind of list.
struct DeleteTexts {
  const char* NothingChecked;
  const char* Confirmation;  // %d: the number of paths
  const char* Success;
  const char* Failure;
};

constexpr DeleteTexts kFileDeleteTexts{"No files selected.", "Move %d files to Recycle Bin?",
                                       "Files were moved to the Recycle Bin.",
                                       "Failed to delete some files."};
constexpr DeleteTexts kDirDeleteTexts{
    "No directories selected.", "Move %d directories to Recycle Bin?",
    "Directories were moved to the Recycle Bin.", "Failed to delete some directories."};

std::string WithCount(std::string text, size_t count) {
  text.replace(text.find("%d"), 2, std::to_string(count));
  return text;
}

/// The folder a folder row stands for: its "Directory" cell, empty when the row has none.
const std::string& DirectoryCell(const ResultRow& row) {
  static const std::string kNone;
  return row.Texts.size() > 1 ? row.Texts[1] : kNone;
}

/// The path a checked row sends to the trash; empty when the row has none.
std::string PathOfRow(const ResultRow& row, ListKind kind) {
  if (kind == ListKind::Dirs) return DirectoryCell(row);
  return row.Ref != nullptr ? row.Ref->FullPath : std::string();
}

std::vector<std::string> CheckedPaths(const ResultList& list, ListKind kind) {
  std::vector<std::string> paths;
  for (const ResultRow& row : list.Rows()) {
    if (!row.Checked) continue;
    std::string path = PathOfRow(row, kind);
    if (!path.empty()) paths.push_back(std::move(path));
  }
  return paths;
}

/// The folder above a normalised folder path ("/data/photos/" gives "/data"); the root is
/// its own parent.
std::string ParentFolder(const std::string& folder) {
  std::string_view path(folder);
  if (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  if (path == "/") return "/";
  return FolderPartOfPath(path);
}

int CurrentYear() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local.tm_year + 1900;
}

}  // namespace

void DeleteCheckedToTrash(ResultList& list, ListKind kind, DialogService& dialogs,
                          ShellService& shell) {
  const DeleteTexts& texts = kind == ListKind::Files ? kFileDeleteTexts : kDirDeleteTexts;
  const std::vector<std::string> paths = CheckedPaths(list, kind);
  if (paths.empty()) {
    dialogs.ShowMessage(texts.NothingChecked);
    return;
  }
  if (!dialogs.AskYesNo(WithCount(texts.Confirmation, paths.size()))) return;
  if (!shell.MoveToTrash(paths)) {
    dialogs.ShowMessage(texts.Failure);
    return;
  }
  list.RemoveCheckedRows();
  dialogs.ShowMessage(texts.Success);
}

void ExportListWithDialog(const ResultList& list, ListKind kind, DialogService& dialogs) {
  const std::optional<std::string> fileName = dialogs.PickSaveFile(
      kind == ListKind::Files ? "duplicate_files.csv" : "duplicate_directories.csv");
  if (!fileName || fileName->empty()) return;
  try {
    ExportListViewToCsv(list, *fileName);
  } catch (const std::exception& error) {
    dialogs.ShowMessage(error.what());
  }
}

bool AddFolderFromPicker(std::vector<std::string>& folders, std::string& lastParent,
                         DialogService& dialogs) {
  const std::optional<std::string> chosen = dialogs.PickFolder(lastParent);
  if (!chosen) return false;
  const std::string folder = NormalizeFolderPath(*chosen);
  if (folder.empty()) return false;
  lastParent = ParentFolder(folder);
  // Paths on this platform are case sensitive: only a byte-equal entry is the same folder.
  if (std::find(folders.begin(), folders.end(), folder) != folders.end()) return false;
  folders.push_back(folder);
  return true;
}

void OpenLocation(const ResultList& list, ListKind kind, std::optional<size_t> selectedRow,
                  DialogService& dialogs, ShellService& shell) {
  if (!selectedRow || *selectedRow >= list.RowCount()) {
    dialogs.ShowMessage("Please select an item first.");
    return;
  }
  const ResultRow& row = list.Row(*selectedRow);
  if (kind == ListKind::Dirs) {
    const std::string& folder = DirectoryCell(row);
    if (IsExistingFolder(folder))
      shell.OpenFolder(folder);
    else
      dialogs.ShowMessage("Directory does not exist: " + folder);
    return;
  }
  if (row.Ref == nullptr) {
    dialogs.ShowMessage("No file path available for the selected item.");
    return;
  }
  const std::string& path = row.Ref->FullPath;
  if (IsExistingFile(path))
    shell.RevealFile(path);
  else
    dialogs.ShowMessage("File does not exist: " + path);
}

void ShowAbout(DialogService& dialogs) {
  const std::string lines[] = {
      ApplicationTitle,
      std::string("Version: ") + ProgramVersionText,
      "",
      std::string("Website: ") + PARVOLANE_WEB_HOST,
      "",
      "This program is provided as is, without warranty of any kind. Files it moves to the "
      "trash can be restored from there.",
      "",
      "Copyright (c) " + std::to_string(CurrentYear()) + " The Parvolane developers.",
  };
  std::string text = lines[0];
  for (size_t i = 1; i < std::size(lines); ++i)
    text += "\n" + lines[i];
  dialogs.ShowInformation(text);
}

}  // namespace parvolane
