#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "platform/services.h"
#include "results/result_list.h"

namespace parvolane {

/// Which of the two result lists an action works on (the one whose tab is shown).
enum class ListKind { Files, Dirs };

/// "Delete checked to Recycle Bin": confirms, sends every checked path in one trash request and
/// removes the checked rows only when everything was moved.
void DeleteCheckedToTrash(ResultList& list, ListKind kind, DialogService& dialogs,
                          ShellService& shell);

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

/// The About box.
void ShowAbout(DialogService& dialogs);

}  // namespace parvolane
