#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "platform/trash.h"

namespace parvolane {

/// The modal dialogs the window opens. Texts are UTF-8; paths are the file system's own bytes.
/// Tests replace this with a scripted version, so that nothing blocks offscreen.
class DialogService {
 public:
  virtual ~DialogService() = default;
  /// A modal message box with the text, one OK button and no icon.
  virtual void ShowMessage(const std::string& text) = 0;
  /// A modal message box with the information icon and one OK button.
  virtual void ShowInformation(const std::string& text) = 0;
  /// A modal message box with the error icon and one OK button.
  virtual void ShowError(const std::string& text) = 0;
  /// A Yes/No question, Yes being the default; true for Yes.
  virtual bool AskYesNo(const std::string& text) = 0;
  /// A question with its own buttons (texts in order); the answer is the index of the button
  /// pressed, nothing when the box was closed or escaped. `defaultButton` is the one that
  /// Enter presses; Escape presses the last one.
  virtual std::optional<size_t> AskChoice(const std::string& text,
                                          const std::vector<std::string>& buttons,
                                          size_t defaultButton) = 0;
  /// The folder picker ("Select folder to scan"), starting in startFolder when it exists;
  /// nothing when cancelled.
  virtual std::optional<std::string> PickFolder(const std::string& startFolder) = 0;
  /// The save-file dialog with the CSV filters and the proposed file name; nothing when
  /// cancelled.
  virtual std::optional<std::string> PickSaveFile(const std::string& proposedName) = 0;
};

/// Actions handed to the desktop. Tests replace this too.
class ShellService {
 public:
  virtual ~ShellService() = default;
  /// Moves every path to the trash in one request and tells what moved where. Nothing is ever
  /// deleted outright.
  virtual TrashResult MoveToTrash(const std::vector<std::string>& paths) = 0;
  /// Puts one entry that MoveToTrash moved back; empty on success, else the reason.
  virtual std::string RestoreFromTrash(const TrashedItem& item) = 0;
  /// Shows the file in the file manager, selected where the file manager can do that. These
  /// open calls return false when nothing on the desktop took the request.
  virtual bool RevealFile(const std::string& path) = 0;
  virtual bool OpenFolder(const std::string& path) = 0;
  /// Opens a file with the desktop's program for its type.
  virtual bool OpenFile(const std::string& path) = 0;
  virtual bool OpenUrl(const std::string& url) = 0;
  /// Starts a downloaded program file.
  virtual void StartProgram(const std::string& path) = 0;
};

}  // namespace parvolane
