#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/services.h"
#include "results/result_list.h"
#include "ui/delete_plan.h"

namespace parvolane {

/// Runs work off the window's thread while the window handles events (nothing: runs it here).
using BlockingRunner = std::function<void(const std::function<void()>&)>;

/// What one delete sent to the trash, so that it can be undone.
struct DeleteReceipt {
  ListKind Kind = ListKind::Files;
  std::vector<TrashedItem> Moved;
};

/// "Delete checked to Recycle Bin" on the list of `kind`: looks at the disk, leaves out checked
/// entries that changed since the scan, asks (with the at-risk choice when a group would keep
/// no copy), sends the paths in one trash request, and lets both lists follow what moved. A
/// failure names the first paths that did not go and the system's reason.
/// Returns what moved, when anything did.
std::optional<DeleteReceipt> DeleteCheckedToTrash(ResultLists lists, ListKind kind,
                                                  DialogService& dialogs, ShellService& shell,
                                                  const BlockingRunner& runBlocking = {});

/// "Undo": puts everything a delete moved back where it was, never over an entry that took
/// its name since, and reports what it could not put back. The lists stay as they are.
void UndoDelete(const DeleteReceipt& receipt, DialogService& dialogs, ShellService& shell);

/// "Export Files CSV..." / "Export Dirs CSV...": asks for a file name and writes the list; a
/// failure is shown with the system's message.
void ExportListWithDialog(const ResultList& list, ListKind kind, DialogService& dialogs);

/// "Add folder...": opens the picker in lastParent, appends the chosen folder (normalised) to
/// folders unless it is listed already, and remembers its parent in lastParent. Returns true
/// when folders changed.
bool AddFolderFromPicker(std::vector<std::string>& folders, std::string& lastParent,
                         DialogService& dialogs);

/// "Open location" for the selected row of the list (nothing selected: std::nullopt).
void OpenLocation(const ResultList& list, ListKind kind, std::optional<size_t> selectedRow,
                  DialogService& dialogs, ShellService& shell);

/// Opens one row's file (or folder) with the desktop's program for it; tells when it is gone
/// or nothing could open it.
void OpenRowEntry(const ResultList& list, ListKind kind, size_t row, DialogService& dialogs,
                  ShellService& shell);

/// The About box.
void ShowAbout(DialogService& dialogs);

}  // namespace parvolane
