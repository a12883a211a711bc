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
  const char* Entries;  // what the list holds, in the notes added to the confirmation
};

constexpr DeleteTexts kFileDeleteTexts{"No files selected.", "Move %d files to Recycle Bin?",
                                       "Files were moved to the Recycle Bin.",
                                       "Failed to delete some files.", "files"};
constexpr DeleteTexts kDirDeleteTexts{"No directories selected.",
                                      "Move %d directories to Recycle Bin?",
                                      "Directories were moved to the Recycle Bin.",
                                      "Failed to delete some directories.", "directories"};

// How many paths a note names before it only counts the rest.
constexpr size_t kNamedAtMost = 5;
const std::vector<std::string> kAtRiskButtons{"Keep one copy", "Move all", "Cancel"};
enum AtRiskAnswer : size_t { kKeepOneCopy = 0, kMoveAll = 1 };

std::string WithCount(std::string text, size_t count) {
  text.replace(text.find("%d"), 2, std::to_string(count));
  return text;
}

template <typename Item, typename Line>
std::string NamedLines(const std::vector<Item>& items, Line line,
                       const std::string& indent = "  ") {
  std::string text;
  for (size_t i = 0; i < items.size() && i < kNamedAtMost; ++i)
    text += "\n" + indent + line(items[i]);
  if (items.size() > kNamedAtMost)
    text += "\n" + indent + "... and " + std::to_string(items.size() - kNamedAtMost) + " more";
  return text;
}

std::string LeftOutNote(const std::vector<LeftOutEntry>& leftOut, const DeleteTexts& texts,
                        const char* outcome) {
  return std::to_string(leftOut.size()) + " checked " + texts.Entries +
         " changed or disappeared since the scan " + outcome + ":" +
         NamedLines(leftOut, [](const LeftOutEntry& entry) {
           return entry.Path + (entry.State == EntryState::Gone ? " (gone)" : " (changed)");
         });
}

std::string AtRiskNote(const std::vector<AtRiskGroup>& atRisk) {
  size_t moved = 0;
  for (const AtRiskGroup& group : atRisk)
    moved += group.MovedMembers;
  return std::to_string(atRisk.size()) + " groups (" + std::to_string(moved) +
         " checked entries) would keep no copy outside the Recycle Bin:" +
         NamedLines(atRisk,
                    [](const AtRiskGroup& group) {
                      return std::string(group.Kind == ListKind::Files ? "File" : "Folder") +
                             " group " + std::to_string(group.GroupId) + ": " + group.FirstPath;
                    }) +
         "\n\n\"Keep one copy\" moves everything else and keeps one copy of each of these "
         "groups; \"Move all\" moves them all anyway.";
}

/// The confirmation: the specified question, and only when there is something to add, the
/// notes on what is left out and on files never compared.
std::string ConfirmationText(const DeletePlan& plan, const DeleteTexts& texts, size_t count) {
  std::string text = WithCount(texts.Confirmation, count);
  if (!plan.LeftOut().empty())
    text += "\n\n" + LeftOutNote(plan.LeftOut(), texts, "and are left out");
  if (const size_t unverified = plan.UnverifiedFiles(); unverified > 0) {
    text += "\n\n" + std::to_string(unverified) +
            " of these files were matched by name or size only: their contents were not "
            "compared.";
  }
  return text;
}

/// Asks; false when the user does not want the move. May take paths out of the plan.
bool Confirm(DeletePlan& plan, const DeleteTexts& texts, DialogService& dialogs) {
  const std::vector<AtRiskGroup> atRisk = plan.AtRisk();
  std::string text = ConfirmationText(plan, texts, plan.Paths().size());
  if (atRisk.empty()) return dialogs.AskYesNo(text);
  text += "\n\n" + AtRiskNote(atRisk);
  const std::optional<size_t> answer = dialogs.AskChoice(text, kAtRiskButtons, kKeepOneCopy);
  if (answer == kKeepOneCopy) plan.KeepOneCopyOfEach();
  return answer == kKeepOneCopy || answer == kMoveAll;
}

/// The success or failure text; below a failure, what did not go and why, so that a full or
/// read-only volume can be told from a cancelled request.
std::string OutcomeText(const TrashResult& result, const DeleteTexts& texts) {
  if (result.Complete) return texts.Success;
  std::string text = texts.Failure;
  if (result.Failed.empty()) return text;
  // Not indented: a message box wraps these long lines, and a wrapped reason must not look
  // like a heading of the next line.
  text += "\n" + NamedLines(result.Failed, TrashFailureText, "");
  if (result.Moved.empty()) text += "\n\nNothing was moved.";
  return text;
}

void RunMaybeBlocking(const BlockingRunner& runBlocking, const std::function<void()>& work) {
  if (runBlocking)
    runBlocking(work);
  else
    work();
}

/// The folder a folder row stands for.
const std::string& FolderOfRow(const ResultRow& row) {
  return row.Path;
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

std::optional<DeleteReceipt> DeleteCheckedToTrash(ResultLists lists, ListKind kind,
                                                  DialogService& dialogs, ShellService& shell,
                                                  const BlockingRunner& runBlocking) {
  const DeleteTexts& texts = kind == ListKind::Files ? kFileDeleteTexts : kDirDeleteTexts;
  DeletePlan plan(lists, kind);
  if (plan.NothingChecked()) {
    dialogs.ShowMessage(texts.NothingChecked);
    return std::nullopt;
  }
  RunMaybeBlocking(runBlocking, [&plan] { plan.LookAtDisk(); });
  // The disk may change while a question is open: once answered, what moves is looked at
  // again, and the question comes again when it no longer describes the request.
  for (bool answered = false; !answered;) {
    if (plan.Paths().empty()) {
      dialogs.ShowMessage(LeftOutNote(plan.LeftOut(), texts, "and were left out") +
                          "\n\nNothing was moved.");
      plan.FollowDisk({});
      return std::nullopt;
    }
    if (!Confirm(plan, texts, dialogs)) return std::nullopt;
    RunMaybeBlocking(runBlocking, [&plan, &answered] { answered = plan.StillAsAnswered(); });
  }
  const std::vector<std::string> paths = plan.Paths();
  if (paths.empty()) {
    dialogs.ShowMessage("Nothing was moved: every checked entry is the last copy of its group.");
    return std::nullopt;
  }
  TrashResult result = shell.MoveToTrash(paths);
  plan.FollowDisk(result.Moved);
  dialogs.ShowMessage(OutcomeText(result, texts));
  if (result.Moved.empty()) return std::nullopt;
  return DeleteReceipt{kind, std::move(result.Moved)};
}

void UndoDelete(const DeleteReceipt& receipt, DialogService& dialogs, ShellService& shell) {
  std::vector<std::string> refused;
  // The last one moved goes back first, so that names taken within one request come back
  // as they were.
  for (auto it = receipt.Moved.rbegin(); it != receipt.Moved.rend(); ++it) {
    const std::string error = shell.RestoreFromTrash(*it);
    if (!error.empty()) refused.push_back(it->Original + " (" + error + ")");
  }
  const size_t restored = receipt.Moved.size() - refused.size();
  std::string text = "Restored " + std::to_string(restored) + " of " +
                     std::to_string(receipt.Moved.size()) + " items from the Recycle Bin.";
  if (!refused.empty()) {
    text += "\n\nNot restored, left in the Recycle Bin:" +
            NamedLines(refused, [](const std::string& line) { return line; });
  }
  dialogs.ShowMessage(text);
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

// No file manager or program took the request: say so, or the click seems lost.
constexpr const char* kNothingOpened = "No program on this desktop could open ";

void OpenLocation(const ResultList& list, ListKind kind, std::optional<size_t> selectedRow,
                  DialogService& dialogs, ShellService& shell) {
  if (!selectedRow || *selectedRow >= list.RowCount()) {
    dialogs.ShowMessage("Please select an item first.");
    return;
  }
  const ResultRow& row = list.Row(*selectedRow);
  if (kind == ListKind::Dirs) {
    const std::string& folder = FolderOfRow(row);
    if (!IsExistingFolder(folder))
      dialogs.ShowMessage("Directory does not exist: " + folder);
    else if (!shell.OpenFolder(folder))
      dialogs.ShowError(kNothingOpened + folder);
    return;
  }
  if (row.Path.empty()) {
    dialogs.ShowMessage("No file path available for the selected item.");
    return;
  }
  const std::string& path = row.Path;
  if (!IsExistingFile(path))
    dialogs.ShowMessage("File does not exist: " + path);
  else if (!shell.RevealFile(path))
    dialogs.ShowError(kNothingOpened + path);
}

void OpenRowEntry(const ResultList& list, ListKind kind, size_t row, DialogService& dialogs,
                  ShellService& shell) {
  if (row >= list.RowCount()) return;
  const std::string& path =
      kind == ListKind::Dirs ? FolderOfRow(list.Row(row)) : list.Row(row).Path;
  if (path.empty()) return;
  const bool there = kind == ListKind::Dirs ? IsExistingFolder(path) : IsExistingFile(path);
  if (!there) {
    dialogs.ShowMessage(
        (kind == ListKind::Dirs ? "Directory does not exist: " : "File does not exist: ") + path);
    return;
  }
  const bool opened = kind == ListKind::Dirs ? shell.OpenFolder(path) : shell.OpenFile(path);
  if (!opened) dialogs.ShowError(kNothingOpened + path);
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
