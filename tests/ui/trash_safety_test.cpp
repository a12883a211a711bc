// The promise behind "Delete checked to Recycle Bin", checked on many small random trees: after
// a scan with both lists filled and a sequence of deletes from either tab with random check
// marks and random answers, nothing is gone for good. Every entry is still in place or sits in
// the real trash under a record naming its original path, and putting it back gives the same
// bytes. Every content keeps a copy outside the trash unless "Move all" was answered, and every
// row still shown stands for an entry the disk holds as the scan saw it.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QTest>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/scan_driver.h"
#include "engine/tree_check.h"
#include "platform/desktop_services.h"
#include "support/clone_checks.h"
#include "support/fake_services.h"
#include "support/recording_reporter.h"
#include "support/temp_tree.h"
#include "ui/result_actions.h"

using namespace parvolane;
using parvolane::testing::FakeDialogs;
using parvolane::testing::Listing;
using parvolane::testing::ReadFileText;
using parvolane::testing::RecordingReporter;
using parvolane::testing::TempTree;
namespace fs = std::filesystem;

namespace {

constexpr unsigned kRounds = 600;

// Every entry below a folder: a folder maps to nothing, a file to its bytes.
using Snapshot = std::map<std::string, std::optional<std::string>>;

Snapshot TakeSnapshot(const std::string& root) {
  Snapshot snapshot;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
    const std::string path = entry.path().string();
    snapshot[path] = entry.is_directory() ? std::nullopt : std::optional(ReadFileText(path));
  }
  return snapshot;
}

bool IsAtOrBelow(const std::string& path, const std::string& top) {
  return path == top || path.starts_with(top + "/");
}

// A handful of files from small pools of folders, names and contents, so that copies, equal
// names with other contents and equal sizes with other contents all turn up often; now and
// then a hard link and a copy of a whole folder inside another.
void MakeRandomTree(TempTree& tree, unsigned seed) {
  static const std::string kFolders[] = {"", "d1/", "d2/", "d1/sub/", "e/"};
  static const std::string kNames[] = {"a.txt",          "A.TXT",      "b",      "photo.jpg",
                                       "say \"hi\", ok", "two\nlines", "caf\xE9"};
  std::mt19937 rng(seed);
  const auto pick = [&rng](const auto& pool) -> const std::string& {
    return pool[rng() % std::size(pool)];
  };
  // One length per content: files of one size hold one content, so that every kind of group
  // (bar names) stands for equal bytes and "a copy stays" can be checked by bytes.
  std::vector<std::string> contents(3);
  for (size_t c = 0; c < contents.size(); ++c) {
    for (size_t i = 0; i <= c; ++i)
      contents[c] += "xy"[rng() % 2];
  }
  std::vector<std::string> made;
  const auto files = static_cast<unsigned>(2 + rng() % 5);
  for (unsigned i = 0; i < files; ++i) {
    const std::string path = pick(kFolders) + pick(kNames);
    if (fs::exists(tree.Path(path))) continue;
    tree.File(path, contents[rng() % contents.size()]);
    made.push_back(path);
  }
  if (rng() % 3 == 0) {
    const std::string link = pick(kFolders) + "link";
    if (!fs::exists(tree.Path(link))) tree.HardLink(link, tree.Path(made[rng() % made.size()]));
  }
  if (rng() % 2 == 0 && fs::exists(tree.Path("d1"))) {
    tree.Dir("e");
    fs::copy(tree.Path("d1"), tree.Path("e/copy of d1"), fs::copy_options::recursive);
  }
  if (rng() % 3 == 0 && fs::exists(tree.Path("d1"))) {
    fs::copy(tree.Path("d1"), tree.Path("d1 - Copy"), fs::copy_options::recursive);
  }
}

// The original path that a .trashinfo record names; nothing when it names none.
std::optional<std::string> RecordedPath(const std::string& info) {
  static const std::string kKey = "\nPath=";
  const size_t start = info.find(kKey);
  if (!info.starts_with("[Trash Info]\n") || start == std::string::npos) return std::nullopt;
  const size_t end = info.find('\n', start + kKey.size());
  if (end == std::string::npos) return std::nullopt;
  const std::string encoded = info.substr(start + kKey.size(), end - start - kKey.size());
  return QByteArray::fromPercentEncoding(QByteArray::fromStdString(encoded)).toStdString();
}

// What a trash holds: for each record, the entry in files/ and the original path it names.
std::map<std::string, std::string> TrashRecords(const std::string& trash,
                                                std::vector<std::string>& problems) {
  std::map<std::string, std::string> records;
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator(trash + "/info", ec)) {
    const std::optional<std::string> path = RecordedPath(ReadFileText(entry.path().string()));
    const std::string name = entry.path().stem().string();
    if (!path) {
      problems.push_back("unreadable record " + entry.path().string());
    } else if (!fs::exists(fs::symlink_status(trash + "/files/" + name))) {
      problems.push_back("record without its entry: " + name);
    } else {
      records[trash + "/files/" + name] = *path;
    }
  }
  return records;
}

// Random check marks on one list: the listing's own, one kept per group, all, or each row at
// random.
void RandomMarks(ResultList& list, std::mt19937& rng) {
  switch (rng() % 4) {
    case 0:
      break;
    case 1:
      CheckAllButOneInGroup(list);
      break;
    case 2:
      CheckAll(list);
      break;
    default:
      for (size_t i = 0; i < list.RowCount(); ++i)
        list.SetChecked(i, rng() % 2 == 0);
  }
}

// One scan that fills both lists, then a few deletes from either tab in random order, with
// every promise checked after each; the trashed entries are put back at the end, and the tree
// must be as it was.
class Round final {
 public:
  Round(unsigned seed) : FRng(seed) {
    MakeRandomTree(FTree, seed);
    FRoot = fs::canonical(FTree.Root()).string();
    FTrash = FHome.Path("data") + "/Trash";
    ::setenv("XDG_DATA_HOME", FHome.Path("data").c_str(), 1);
  }
  ~Round() { ::unsetenv("XDG_DATA_HOME"); }

  std::vector<std::string> Run() {
    const Snapshot before = TakeSnapshot(FRoot);
    ScanState state;
    RecordingReporter reporter(state);
    ScanDriver driver(state, reporter);
    reporter.Settings.Folders = {FRoot};
    reporter.Settings.MinSizeMB = 0;
    reporter.Settings.MaxGroups = 0;
    reporter.Settings.FindFileClones = true;
    reporter.Settings.FindFolderClones = true;
    const CompareMode modes[] = {CompareMode::cmName, CompareMode::cmSize,
                                 CompareMode::cmNameAndSize, CompareMode::cmContent};
    reporter.Settings.Mode = modes[FRng() % 4];
    driver.btnScanClick();
    if (driver.LastOutcome() != ScanOutcome::Done)
      return {"the scan failed: " + driver.LastError()};
    std::vector<std::string> problems = testing::SelfCloneFaults(state.lvFiles, Listing::Files);
    for (std::string& fault : testing::SelfCloneFaults(state.lvDirs, Listing::Dirs))
      problems.push_back(std::move(fault));

    const std::unique_ptr<ShellService> shell = CreateDesktopShell();
    bool movedAll = false;
    std::set<std::string> checked;  // every path ever sent to the trash
    const unsigned steps = 1 + FRng() % 4;
    for (unsigned step = 0; step < steps; ++step) {
      const ListKind kind = FRng() % 2 == 0 ? ListKind::Files : ListKind::Dirs;
      ResultList& list = kind == ListKind::Files ? state.lvFiles : state.lvDirs;
      RandomMarks(list, FRng);
      for (const ResultRow& row : list.Rows())
        if (row.Checked) checked.insert(row.Path);
      FakeDialogs dialogs;
      const size_t answer = FRng() % 4 == 0 ? 1 + FRng() % 2 : 0;  // mostly "Keep one copy"
      dialogs.Choices.push_back(answer);
      DeleteCheckedToTrash({state.lvFiles, state.lvDirs}, kind, dialogs, *shell);
      movedAll = movedAll || (!dialogs.TextsOf("choice").empty() && answer == 1);
      if (reporter.Settings.Mode == CompareMode::cmName && kind == ListKind::Files)
        CheckNameOnlyIsSaid(dialogs, problems);
      CheckRowsFollowTheDisk(state, problems);
    }

    std::map<std::string, std::string> records = TrashRecords(FTrash, problems);
    CheckNothingIsLost(before, checked, records, problems);
    if (!movedAll && reporter.Settings.Mode != CompareMode::cmName)
      CheckContentsKept(before, problems);
    Restore(records, problems);
    if (TakeSnapshot(FRoot) != before) problems.push_back("the tree did not come back whole");
    return problems;
  }

 private:
  // Grouped by name only, files that move were never compared, and the question says so.
  static void CheckNameOnlyIsSaid(const FakeDialogs& dialogs, std::vector<std::string>& problems) {
    for (const FakeDialogs::Shown& shown : dialogs.History) {
      if ((shown.Kind == "question" || shown.Kind == "choice") &&
          shown.Text.find("matched by name or size only") == std::string::npos)
        problems.push_back("a name-only delete without the note: " + shown.Text);
    }
  }

  // Every row still shown stands for what the disk holds: files as the scan saw them, folders
  // still there and still signing like the other members of their group.
  static void CheckRowsFollowTheDisk(const ScanState& state, std::vector<std::string>& problems) {
    for (const ResultRow& row : state.lvFiles.Rows()) {
      if (CheckFile(row.Path, row.Seen) != EntryState::Unchanged)
        problems.push_back("a row of a changed file: " + row.Path);
    }
    std::map<int, std::set<std::string>> signatures;
    for (const ResultRow& row : state.lvDirs.Rows()) {
      if (CheckFolder(row.Path, row.Seen, row.Digest.View()) != EntryState::Unchanged)
        problems.push_back("a row of a changed folder: " + row.Path);
      signatures[row.GroupId].insert(SignFolderTree(row.Path).Signature);
    }
    for (const auto& [group, distinct] : signatures) {
      if (distinct.size() > 1)
        problems.push_back("folder group " + std::to_string(group) + " holds unlike trees");
    }
    for (const ResultList* list : {&state.lvFiles, &state.lvDirs}) {
      std::map<int, size_t> rows;
      for (const ResultRow& row : list->Rows())
        ++rows[row.GroupId];
      for (const ResultGroup& group : list->Groups())
        if (rows[group.Id] < 2) problems.push_back("a group of fewer than two: " + group.Header);
    }
  }

  // Each entry is in place with its bytes, or inside an entry that the trash holds, whose
  // record names where it came from; only checked entries went, and they keep their bytes.
  void CheckNothingIsLost(const Snapshot& before, const std::set<std::string>& checked,
                          const std::map<std::string, std::string>& records,
                          std::vector<std::string>& problems) const {
    for (const auto& [trashed, original] : records) {
      if (!checked.contains(original)) problems.push_back("trashed but not checked: " + original);
      const auto was = before.find(original);
      if (was == before.end()) {
        problems.push_back("trashed from nowhere: " + original);
      } else if (was->second && ReadFileText(trashed) != *was->second) {
        problems.push_back("changed in the trash: " + original);
      }
    }
    for (const auto& [path, bytes] : before) {
      std::error_code ec;
      const bool inPlace =
          fs::exists(fs::symlink_status(path, ec)) && (!bytes || ReadFileText(path) == *bytes);
      bool inTrash = false;
      for (const auto& [trashed, original] : records)
        inTrash = inTrash || IsAtOrBelow(path, original);
      if (!inPlace && !inTrash) problems.push_back("lost: " + path);
    }
  }

  // A content goes only when another copy stays.
  void CheckContentsKept(const Snapshot& before, std::vector<std::string>& problems) const {
    std::set<std::string> left;
    for (const auto& [path, bytes] : TakeSnapshot(FRoot)) {
      if (bytes) left.insert(*bytes);
    }
    for (const auto& [path, bytes] : before) {
      if (bytes && !left.contains(*bytes)) problems.push_back("last copy trashed: " + path);
    }
  }

  // The last one trashed goes back first: an entry trashed from inside a folder that went
  // later needs that folder back first.
  void Restore(const std::map<std::string, std::string>& records,
               std::vector<std::string>& problems) const {
    std::vector<std::pair<std::string, std::string>> ordered(records.begin(), records.end());
    std::sort(ordered.begin(), ordered.end(),
              [](const auto& a, const auto& b) { return a.second.size() < b.second.size(); });
    for (const auto& [trashed, original] : ordered) {
      if (::renameat2(AT_FDCWD, trashed.c_str(), AT_FDCWD, original.c_str(), RENAME_NOREPLACE) !=
          0) {
        problems.push_back("cannot put back " + original);
      }
    }
  }

  std::mt19937 FRng;
  TempTree FTree;
  TempTree FHome;  // the data home, so the trash, on the tree's volume
  std::string FRoot;
  std::string FTrash;
};

}  // namespace

class TrashSafetyTest final : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void nothingCheckedIsLost();
};

void TrashSafetyTest::initTestCase() {
  // Thousands of small trees are made far faster in memory than on a disk with a journal.
  if (::access("/dev/shm", W_OK | X_OK) == 0) ::setenv("TMPDIR", "/dev/shm", 1);
  TempTree tree;
  TempTree home;
  struct stat a {};
  struct stat b {};
  QVERIFY(::stat(tree.Root().c_str(), &a) == 0 && ::stat(home.Root().c_str(), &b) == 0);
  // Another volume would mean a trash at that volume's top, outside the test's folders.
  if (a.st_dev != b.st_dev) QSKIP("temporary folders on two volumes");
}

void TrashSafetyTest::nothingCheckedIsLost() {
  for (unsigned seed = 1; seed <= kRounds; ++seed) {
    const std::vector<std::string> problems = Round(seed).Run();
    std::string text = "seed " + std::to_string(seed) + ":";
    for (const std::string& problem : problems)
      text += "\n  " + problem;
    QVERIFY2(problems.empty(), text.c_str());
  }
}

QTEST_GUILESS_MAIN(TrashSafetyTest)
#include "trash_safety_test.moc"
