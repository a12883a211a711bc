#pragma once

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/services.h"

namespace parvolane::testing {

/// Dialogs that answer from a script and remember what they were asked, so that a window can
/// be driven without a modal loop.
class FakeDialogs final : public DialogService {
 public:
  struct Shown {
    std::string Kind;  // "message", "information", "error", "question", "choice"
    std::string Text;
  };

  void ShowMessage(const std::string& text) override { Record("message", text); }
  void ShowInformation(const std::string& text) override { Record("information", text); }
  void ShowError(const std::string& text) override { Record("error", text); }
  bool AskYesNo(const std::string& text) override {
    Record("question", text);
    return AnswerYes;
  }
  std::optional<size_t> AskChoice(const std::string& text, const std::vector<std::string>& buttons,
                                  size_t defaultButton) override {
    Record("choice", text);
    ChoiceButtons.push_back(buttons);
    ChoiceDefaults.push_back(defaultButton);
    if (Choices.empty()) return defaultButton;
    const std::optional<size_t> answer = Choices.front();
    Choices.pop_front();
    return answer;
  }
  std::optional<std::string> PickFolder(const std::string& startFolder) override {
    PickerStarts.push_back(startFolder);
    return Next(Folders);
  }
  std::optional<std::string> PickSaveFile(const std::string& proposedName) override {
    ProposedNames.push_back(proposedName);
    return Next(SaveFiles);
  }

  /// Texts shown of one kind, in order.
  std::vector<std::string> TextsOf(const std::string& kind) const {
    std::vector<std::string> texts;
    for (const Shown& s : History)
      if (s.Kind == kind) texts.push_back(s.Text);
    return texts;
  }

  bool AnswerYes = true;
  std::deque<std::optional<std::string>> Folders;    // answers of the folder picker
  std::deque<std::optional<std::string>> SaveFiles;  // answers of the save dialog
  /// Answers of AskChoice, in order; when none is left the default button is pressed.
  std::deque<std::optional<size_t>> Choices;
  std::vector<std::vector<std::string>> ChoiceButtons;
  std::vector<size_t> ChoiceDefaults;
  std::vector<Shown> History;
  std::vector<std::string> PickerStarts;
  std::vector<std::string> ProposedNames;
  /// Called after a box is recorded, as if the user did something while it was open.
  std::function<void(const Shown&)> OnShown;

 private:
  void Record(const char* kind, const std::string& text) {
    History.push_back({kind, text});
    if (OnShown) OnShown(History.back());
  }
  static std::optional<std::string> Next(std::deque<std::optional<std::string>>& answers) {
    if (answers.empty()) return std::nullopt;
    std::optional<std::string> answer = answers.front();
    answers.pop_front();
    return answer;
  }
};

/// Desktop actions that only remember their calls.
class FakeShell final : public ShellService {
 public:
  TrashResult MoveToTrash(const std::vector<std::string>& paths) override {
    TrashRequests.push_back(paths);
    if (OnTrash) return OnTrash(paths);
    TrashResult result;
    result.Complete = TrashSucceeds;
    if (!TrashSucceeds) return result;
    for (const std::string& path : paths)
      result.Moved.push_back({path, path, "/trash/files" + path, "/trash/info" + path});
    return result;
  }
  std::string RestoreFromTrash(const TrashedItem& item) override {
    Restored.push_back(item);
    return RestoreError;
  }
  bool RevealFile(const std::string& path) override {
    Revealed.push_back(path);
    return OpenSucceeds;
  }
  bool OpenFolder(const std::string& path) override {
    OpenedFolders.push_back(path);
    return OpenSucceeds;
  }
  bool OpenFile(const std::string& path) override {
    OpenedFiles.push_back(path);
    return OpenSucceeds;
  }
  bool OpenUrl(const std::string& url) override {
    OpenedUrls.push_back(url);
    return OpenSucceeds;
  }
  void StartProgram(const std::string& path) override { Started.push_back(path); }

  bool TrashSucceeds = true;
  /// What every open call answers: false as when no desktop program takes the request.
  bool OpenSucceeds = true;
  /// When set, answers trash requests in place of TrashSucceeds (for example with the real
  /// trash, or a partial failure).
  std::function<TrashResult(const std::vector<std::string>&)> OnTrash;
  std::vector<TrashedItem> Restored;
  std::string RestoreError;  // what every restore answers; empty: restored
  std::vector<std::vector<std::string>> TrashRequests;
  std::vector<std::string> Revealed;
  std::vector<std::string> OpenedFolders;
  std::vector<std::string> OpenedUrls;
  std::vector<std::string> OpenedFiles;
  std::vector<std::string> Started;
};

}  // namespace parvolane::testing
