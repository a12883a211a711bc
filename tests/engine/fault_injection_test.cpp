// Scans of hostile trees: entries that change while a scan runs, links, repeated folders,
// hostile names, very long paths and very large trees. Whatever happens, a scan ends, reports
// what is really equal, and never offers a file or a folder as a clone of itself.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/scan_driver.h"
#include "platform/posix/write_all.h"
#include "results/csv_export.h"
#include "support/clone_checks.h"
#include "support/deep_tree.h"
#include "support/recording_reporter.h"
#include "support/temp_tree.h"
#include "support/unprivileged.h"

namespace parvolane {
namespace {

using testing::IdOfPath;
using testing::kNobody;
using testing::ListedGroups;
using testing::Listing;
using testing::RecordingReporter;
using testing::RunUnprivileged;
using testing::SelfCloneFaults;
using testing::ShareWithNobody;
using testing::TempTree;
namespace fs = std::filesystem;

using Groups = std::vector<std::vector<std::string>>;
using IdGroups = std::set<std::set<std::pair<uint64_t, uint64_t>>>;

constexpr std::string_view kHashingText = "Computing SHA-1 hashes (size filtered)...";
constexpr std::string_view kCollectingText = "Collecting directories: ";
// Generous: under the sanitizers the large trees take a while to make and to scan.
constexpr unsigned kWatchdogSeconds = 300;

std::string Joined(const std::vector<std::string>& parts, std::string_view separator) {
  std::string text;
  for (const std::string& part : parts)
    text += (text.empty() ? "" : std::string(separator)) + part;
  return text;
}

Groups Sorted(Groups groups) {
  for (std::vector<std::string>& group : groups)
    std::sort(group.begin(), group.end());
  std::sort(groups.begin(), groups.end());
  return groups;
}

// A scratch tree in memory when /dev/shm can be written: a disk with a journal makes many
// small files far more slowly.
std::unique_ptr<TempTree> TreeInMemoryIfPossible() {
  const char* given = std::getenv("TMPDIR");
  const std::optional<std::string> saved = given ? std::optional<std::string>(given) : std::nullopt;
  if (::access("/dev/shm", W_OK | X_OK) == 0) ::setenv("TMPDIR", "/dev/shm", 1);
  auto tree = std::make_unique<TempTree>();
  if (saved) {
    ::setenv("TMPDIR", saved->c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
  return tree;
}

// Reads the export format back: byte-order mark, CR LF after each record, cells quoted with
// doubled quotes (the header is not quoted).
std::vector<std::vector<std::string>> ParseCsv(std::string_view text) {
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  std::vector<std::vector<std::string>> records;
  std::vector<std::string> record;
  std::string cell;
  bool inQuotes = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inQuotes) {
      if (c != '"') {
        cell += c;
      } else if (i + 1 < text.size() && text[i + 1] == '"') {
        cell += '"';
        ++i;
      } else {
        inQuotes = false;
      }
    } else if (c == '"') {
      inQuotes = true;
    } else if (c == ',') {
      record.push_back(std::exchange(cell, {}));
    } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      record.push_back(std::exchange(cell, {}));
      records.push_back(std::exchange(record, {}));
      ++i;
    } else {
      cell += c;
    }
  }
  return records;
}

// The header and every row of a list, as the export should carry them.
std::vector<std::vector<std::string>> RecordsOf(const ResultList& list) {
  std::vector<std::vector<std::string>> records(1);
  for (const ResultColumn& column : list.Columns())
    records[0].push_back(column.Caption);
  for (const ResultRow& row : list.Rows())
    records.push_back(RowTexts(row));
  return records;
}

// Runs whole scans on a real tree, and changes the tree from inside one event pump, at a
// moment when a stage stands between two of its steps.
class FaultInjection : public ::testing::Test {
 protected:
  FaultInjection() {
    reporter.Settings.Folders = {tree.Root()};
    reporter.Settings.MinSizeMB = 0;
    reporter.Settings.MaxGroups = 0;
    // A scan that blocks (on a FIFO, say) ends the test program instead of stalling it.
    ::alarm(kWatchdogSeconds);
  }
  ~FaultInjection() override {
    ::alarm(0);
    for (const std::string& top : deepTops)
      testing::RemoveTreeAt(top);
  }

  void ScanFolders(const std::vector<std::string>& relative) {
    reporter.Settings.Folders.clear();
    for (const std::string& folder : relative)
      reporter.Settings.Folders.push_back(folder.empty() ? tree.Root() : tree.Path(folder));
  }
  void FindFolderClonesOnly() {
    reporter.Settings.FindFileClones = false;
    reporter.Settings.FindFolderClones = true;
    reporter.Settings.Mode = CompareMode::cmSize;  // nothing to hash
  }

  // The fault runs once, inside the first event pump at which `when` holds.
  void InjectWhen(std::function<bool()> when, std::function<void()> fault) {
    reporter.OnPump = [this, when = std::move(when), fault = std::move(fault)] {
      if (injected || !when()) return;
      injected = true;
      fault();
    };
  }
  // After the folder scan, before the first file is hashed.
  void InjectBeforeHashing(std::function<void()> fault) {
    InjectWhen([this] { return reporter.LastStatus() == kHashingText; }, std::move(fault));
  }
  // After the folders of the first scan folder were collected, before any is analysed.
  void InjectBeforeAnalysis(std::function<void()> fault) {
    InjectWhen(
        [this] { return !reporter.Marquee && reporter.LastStatus().starts_with(kCollectingText); },
        std::move(fault));
  }

  // One scan, and what every scan must give, whatever happened to the tree.
  void Scan() {
    driver.btnScanClick();
    EXPECT_EQ(driver.LastOutcome(), ScanOutcome::Done) << driver.LastError();
    EXPECT_EQ(reporter.LastStatus(), "  Done.");
    EXPECT_EQ(SelfCloneFaults(state.lvFiles, Listing::Files), std::vector<std::string>{});
    EXPECT_EQ(SelfCloneFaults(state.lvDirs, Listing::Dirs), std::vector<std::string>{});
  }

  // The listed groups as paths relative to the tree, sorted, so that tests need not depend on
  // the order of equal groups.
  Groups FileGroups() const { return Relative(ListedGroups(state.lvFiles, Listing::Files)); }
  Groups DirGroups() const { return Relative(ListedGroups(state.lvDirs, Listing::Dirs)); }

  Groups Relative(Groups groups) const {
    const std::string prefix = tree.Root() + "/";
    for (std::vector<std::string>& group : groups) {
      for (std::string& path : group) {
        if (path == tree.Root()) path = ".";
        if (path.starts_with(prefix)) path.erase(0, prefix.size());
      }
    }
    return Sorted(std::move(groups));
  }

  // Groups as sets of identities, for trees in which links give one file several paths.
  IdGroups IdsOf(const Groups& groups, Listing kind) const {
    IdGroups out;
    for (const std::vector<std::string>& group : groups) {
      std::set<std::pair<uint64_t, uint64_t>> ids;
      for (const std::string& path : group) {
        const std::string full = path.starts_with('/') ? path : tree.Path(path);
        const std::optional<FileId> id = IdOfPath(full, kind == Listing::Dirs);
        ids.emplace(id ? id->Device : 0, id ? id->Inode : 0);
      }
      out.insert(ids);
    }
    return out;
  }
  IdGroups ListedIds(Listing kind) const {
    return IdsOf(ListedGroups(kind == Listing::Files ? state.lvFiles : state.lvDirs, kind), kind);
  }

  // What a scan in a child process reports back: its last status, its folder groups and any
  // fault, one per line.
  std::string Summary() const {
    std::string text = reporter.LastStatus() + "\n";
    for (const std::vector<std::string>& group : DirGroups())
      text += Joined(group, " | ") + "\n";
    for (const std::string& fault : SelfCloneFaults(state.lvDirs, Listing::Dirs))
      text += "fault: " + fault + "\n";
    if (!injected) text += "the fault was never injected\n";
    return text;
  }

  // A folder with a file and a subfolder holding another; every copy has equal contents.
  void MakeCopy(const std::string& folder) {
    tree.FileOfSize(folder + "/f", 10, 1);
    tree.FileOfSize(folder + "/s/g", 5, 2);
  }

  TempTree tree;
  ScanState state;
  RecordingReporter reporter{state};
  ScanDriver driver{state, reporter};
  bool injected = false;
  std::vector<std::string> deepTops;  // trees too deep for TempTree to remove
};

// ---- Files that change between the folder scan and the hashing --------------------------------

struct FileChange {
  const char* Name;
  void (*Apply)(const std::string& file, const std::string& twin);
};

const FileChange kFileChanges[] = {
    {"Vanishes", [](const std::string& f, const std::string&) { fs::remove(f); }},
    {"Shrinks",
     [](const std::string& f, const std::string&) { fs::resize_file(f, fs::file_size(f) / 2); }},
    {"Grows",
     [](const std::string& f, const std::string&) {
       std::ofstream(f, std::ios::binary | std::ios::app) << '+';
     }},
    {"BecomesAFifo",
     [](const std::string& f, const std::string&) {
       fs::remove(f);
       ASSERT_EQ(::mkfifo(f.c_str(), 0600), 0);
     }},
    {"BecomesALinkToItsTwin",
     [](const std::string& f, const std::string& twin) {
       fs::remove(f);
       fs::create_symlink(twin, f);
     }},
};

class FileChangesBeforeHashing
    : public FaultInjection,
      public ::testing::WithParamInterface<std::tuple<FileChange, bool, int64_t>> {};

TEST_P(FileChangesBeforeHashing, OnlyTheFilesStillEqualAreGrouped) {
  const auto& [change, parallel, size] = GetParam();
  for (const char* name : {"x/1", "x/2", "x/3"})
    tree.FileOfSize(name, size, 1);
  tree.FileOfSize("y", size, 2);      // the same size, another content
  tree.FileOfSize("z", size + 1, 1);  // a size of its own
  reporter.Settings.ParallelHashing = parallel;
  InjectBeforeHashing([&] { change.Apply(tree.Path("x/3"), tree.Path("x/1")); });

  Scan();
  EXPECT_TRUE(injected);
  EXPECT_EQ(state.FFiles.size(), 5u);
  EXPECT_EQ(FileGroups(), (Groups{{"x/1", "x/2"}}));
}

INSTANTIATE_TEST_SUITE_P(
    All, FileChangesBeforeHashing,
    ::testing::Combine(::testing::ValuesIn(kFileChanges), ::testing::Bool(),
                       // one read takes the small file whole; the large one is read in blocks
                       ::testing::Values(int64_t{100}, int64_t{300 * 1024})),
    [](const auto& paramInfo) {
      return std::string(std::get<0>(paramInfo.param).Name) +
             (std::get<1>(paramInfo.param) ? "_Parallel_" : "_Sequential_") +
             std::to_string(std::get<2>(paramInfo.param));
    });

// ---- Folders that change between collection and analysis -------------------------------------

struct FolderChange {
  const char* Name;
  const char* Target;
  bool NeedsUnprivileged;  // the change only shows when the scan cannot read everything
  void (*Apply)(TempTree& tree, const std::string& target);
};

const FolderChange kFolderChanges[] = {
    {"SubfolderVanishes", "C/s", false, [](TempTree&, const std::string& t) { fs::remove_all(t); }},
    {"FolderVanishes", "C", false, [](TempTree&, const std::string& t) { fs::remove_all(t); }},
    {"SubfolderBecomesAFile", "C/s", false,
     [](TempTree& tree, const std::string& t) {
       fs::remove_all(t);
       tree.FileOfSize("C/s", 5, 2);
     }},
    // Read through the link, C/s would sign like A/s and be offered as a copy of it.
    {"SubfolderBecomesALinkToItsTwin", "C/s", false,
     [](TempTree& tree, const std::string& t) {
       fs::remove_all(t);
       fs::create_symlink(tree.Path("A/s"), t);
     }},
    {"SubfolderBecomesUnreadable", "C/s", true,
     [](TempTree&, const std::string& t) { ASSERT_EQ(::chmod(t.c_str(), 0), 0); }},
    {"FolderBecomesUnreadable", "C", true,
     [](TempTree&, const std::string& t) { ASSERT_EQ(::chmod(t.c_str(), 0), 0); }},
};

class FolderChangesBeforeAnalysis : public FaultInjection,
                                    public ::testing::WithParamInterface<FolderChange> {};

TEST_P(FolderChangesBeforeAnalysis, TheUntouchedCopiesStillFormTheirGroups) {
  const FolderChange& change = GetParam();
  for (const char* copy : {"A", "B", "C"})
    MakeCopy(copy);
  const std::string target = tree.Path(change.Target);
  if (change.NeedsUnprivileged && ::geteuid() == 0) {
    // nobody may read the tree and change the one folder it is handed, nothing else
    ShareWithNobody(tree.Root());
    ASSERT_EQ(::chown(target.c_str(), kNobody, kNobody), 0);
  }
  FindFolderClonesOnly();
  InjectBeforeAnalysis([&] { change.Apply(tree, target); });

  const auto scan = [this] {
    driver.btnScanClick();
    return Summary();
  };
  const std::optional<std::string> summary =
      change.NeedsUnprivileged ? RunUnprivileged(scan) : scan();
  if (!summary) GTEST_SKIP() << "cannot become nobody (65534) to make a folder unreadable";
  EXPECT_EQ(*summary, "  Done.\nA | B\nA/s | B/s\n");
}

INSTANTIATE_TEST_SUITE_P(All, FolderChangesBeforeAnalysis, ::testing::ValuesIn(kFolderChanges),
                         [](const auto& paramInfo) { return std::string(paramInfo.param.Name); });

// ---- What cannot be read --------------------------------------------------------------------

// Folders that cannot be read are skipped, counted once however many walks meet them, and
// never make folder clones, nor do the folders holding them; a scan folder that cannot be read
// at all is named, and the scan goes on with the others.
TEST_F(FaultInjection, UnreadableFoldersAreCountedAndNeverFolderClones) {
  tree.File("open/a.txt", "a");
  tree.File("closed/b.txt", "b");
  tree.File("x/locked/a.txt", "1234");
  tree.File("y/locked/video.mp4", "5678");
  tree.File("z/a.txt", "1234");
  tree.File("w/a.txt", "1234");
  ShareWithNobody(tree.Root());
  for (const char* folder : {"closed", "x/locked", "y/locked"})
    ASSERT_EQ(::chmod(tree.Path(folder).c_str(), 0), 0);  // shut to their owner too
  ScanFolders({"", "closed"});
  reporter.Settings.FindFolderClones = true;
  reporter.Settings.Mode = CompareMode::cmSize;
  injected = true;  // nothing to inject: the tree is as it is

  const std::optional<std::string> summary = RunUnprivileged([this] {
    driver.btnScanClick();
    const ScanSummary& s = state.Summary;
    std::string text = Summary();
    text +=
        "unreadable folders: " + std::to_string(s.Skipped.Count(SkipKind::UnreadableFolder)) + "\n";
    text += "left out: " + std::to_string(s.FoldersLeftOut) + "\n";
    for (const std::string& error : s.FolderErrors)
      text += error.substr(0, error.find('\'')) + "'" + error.substr(error.rfind('\'')) + "\n";
    return text;
  });
  if (!summary) GTEST_SKIP() << "cannot become nobody (65534) to make a folder unreadable";
  // Only z and w were read whole; the tree, closed, x, y and both locked folders were not.
  EXPECT_EQ(*summary,
            "  Done.\nw | z\nunreadable folders: 3\nleft out: 6\n"
            "cannot scan '': Permission denied\n");
}

// ---- Links, repeated scan folders and hard links ----------------------------------------------

struct LinkCase {
  const char* Name;
  std::function<void(TempTree&)> Make;
  std::vector<std::string> Folders;  // relative to the tree; "" is the tree itself
  Groups Files;                      // by identity: any path of each file will do
  Groups Dirs;
};

const Groups kCopyFiles = {{"A/f", "B/f"}, {"A/s/g", "B/s/g"}};
const Groups kCopyDirs = {{"A", "B"}, {"A/s", "B/s"}};

std::vector<LinkCase> LinkCases() {
  return {
      {"LinkCycles",
       [](TempTree& t) {
         for (const char* copy : {"A", "B"})
           t.Symlink(std::string(copy) + "/s/up", "../..");  // back to the tree itself
         t.Symlink("loop1", "loop2");
         t.Symlink("loop2", "loop1");
       },
       {""},
       kCopyFiles,
       kCopyDirs},
      {"LinksToFoldersInsideTheScan",
       [](TempTree& t) {
         t.Symlink("linkA", "A");
         t.Symlink("linkAs", "A/s");
       },
       {""},
       kCopyFiles,
       kCopyDirs},
      {"OverlappingAndRepeatedScanFolders",
       [](TempTree&) {},
       {"", "A", "", "A/s", "B/../A", "A/", "B/s/"},
       kCopyFiles,
       kCopyDirs},
      {"AScanFolderThatIsALinkToAnother",
       [](TempTree& t) { t.Symlink("linkA", "A"); },
       {"A", "linkA", "B"},
       kCopyFiles,
       kCopyDirs},
      // The folder scan follows a link out of the scan folders; folder detection never does.
      {"ALinkToAFolderOutsideTheScan",
       [](TempTree& t) {
         fs::rename(t.Path("B"), t.Path("outside"));
         t.Dir("in");
         fs::rename(t.Path("A"), t.Path("in/A"));
         t.Symlink("in/out", "../outside");
       },
       {"in"},
       {{"in/A/f", "outside/f"}, {"in/A/s/g", "outside/s/g"}},
       {}},
      // A hard-linked pair is one file: trashing one name would free nothing.
      {"HardLinks",
       [](TempTree& t) {
         t.HardLink("C/f", t.Path("A/f"));  // C/f is A/f: only B/f is a copy
         t.File("A/h", "one file under two names");
         t.HardLink("B/h", t.Path("A/h"));
       },
       {""},
       kCopyFiles,
       kCopyDirs},
  };
}

class LinksAndRepeats : public FaultInjection, public ::testing::WithParamInterface<LinkCase> {};

TEST_P(LinksAndRepeats, EveryFileAndFolderCountsOnce) {
  const LinkCase& c = GetParam();
  MakeCopy("A");
  MakeCopy("B");
  c.Make(tree);
  ScanFolders(c.Folders);
  reporter.Settings.FindFolderClones = true;

  Scan();
  EXPECT_EQ(ListedIds(Listing::Files), IdsOf(c.Files, Listing::Files));
  EXPECT_EQ(ListedIds(Listing::Dirs), IdsOf(c.Dirs, Listing::Dirs));
}

INSTANTIATE_TEST_SUITE_P(All, LinksAndRepeats, ::testing::ValuesIn(LinkCases()),
                         [](const auto& paramInfo) { return std::string(paramInfo.param.Name); });

TEST_F(FaultInjection, AHardLinkedPairIsNeverAGroupInAnyMode) {
  tree.File("A/h.txt", "one file under two names");
  tree.HardLink("B/h.txt", tree.Path("A/h.txt"));
  for (const CompareMode mode : {CompareMode::cmName, CompareMode::cmSize,
                                 CompareMode::cmNameAndSize, CompareMode::cmContent}) {
    SCOPED_TRACE(static_cast<int>(mode));
    reporter.Settings.Mode = mode;
    Scan();
    EXPECT_EQ(state.FFiles.size(), 1u);
    EXPECT_EQ(FileGroups(), Groups{});
  }
}

// ---- Hostile names ----------------------------------------------------------------------------

TEST_F(FaultInjection, HostileNamesAreFoundGroupedAndExportedByTheirBytes) {
  const std::vector<std::string> names = {"caf\xE9.txt", "\xFF\xFE", "two\nlines", "tab\there",
                                          "say \"hi\"",  "a,b,c",    "\",\n\t\r"};
  const std::vector<std::string> folders = {"plain", "odd \xE9\n,\"folder\""};
  Groups expected;
  for (size_t i = 0; i < names.size(); ++i) {
    expected.push_back({});
    for (const std::string& folder : folders) {
      tree.File(folder + "/" + names[i], "content " + std::to_string(i));
      expected.back().push_back(folder + "/" + names[i]);
    }
    std::sort(expected.back().begin(), expected.back().end());
  }
  std::sort(expected.begin(), expected.end());
  reporter.Settings.FindFolderClones = true;

  Scan();
  EXPECT_EQ(FileGroups(), expected);
  EXPECT_EQ(DirGroups(), (Groups{{folders[1], folders[0]}}));

  for (const ResultList* list : {&state.lvFiles, &state.lvDirs}) {
    EXPECT_EQ(ParseCsv(ListViewCsvText(*list)), RecordsOf(*list));
  }
  for (const ResultRow& row : state.lvFiles.Rows()) {
    // The name and folder cells are the real bytes: together they name the file again.
    EXPECT_EQ(CellText(row, 2) + "/" + CellText(row, 1), row.Path);
    EXPECT_TRUE(IdOfPath(row.Path).has_value()) << row.Path;
  }
}

// ---- Long paths and large trees ---------------------------------------------------------------

TEST_F(FaultInjection, PathsLongerThanPathMaxAreCollectedAndCompared) {
  const std::string name(60, 'n');
  const int levels = PATH_MAX / 61 + 8;
  std::vector<std::string> deepFiles;
  for (const char* top : {"A", "B"}) {
    deepTops.push_back(tree.Path(top));
    deepFiles.push_back(
        testing::MakeFolderChain(tree.Path(top), levels, name, "f", "equal content") + "/f");
  }
  ASSERT_GT(deepFiles[0].size(), size_t{PATH_MAX});
  reporter.Settings.Mode = CompareMode::cmNameAndSize;
  reporter.Settings.FindFolderClones = true;

  Scan();
  const std::vector<std::string> collected = testing::CollectedPaths(state);
  EXPECT_EQ(std::set<std::string>(collected.begin(), collected.end()),
            std::set<std::string>(deepFiles.begin(), deepFiles.end()));
  EXPECT_EQ(Sorted(ListedGroups(state.lvFiles, Listing::Files)), Groups{deepFiles});
  // A and B, then every pair of levels below them, the deepest ones included.
  const Groups dirs = DirGroups();
  EXPECT_EQ(dirs.size(), size_t(levels) + 1);
  EXPECT_EQ(dirs.front(), (std::vector<std::string>{"A", "B"}));
}

TEST_F(FaultInjection, AFolderWithTwoHundredThousandFiles) {
  constexpr int kCount = 200000;
  const std::unique_ptr<TempTree> big = TreeInMemoryIfPossible();
  const std::string folder = big->Dir("many");
  {
    const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dirFd, 0);
    // Every file has a size of its own (sparse, so they cost no space), so that only the
    // planted copies below are read.
    for (int i = 0; i < kCount; ++i) {
      const std::string file = "f" + std::to_string(i);
      const int fd = ::openat(dirFd, file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
      ASSERT_GE(fd, 0);
      ASSERT_EQ(::ftruncate(fd, i + 1), 0);
      ::close(fd);
    }
    ::close(dirFd);
  }
  big->FileOfSize("many/copy-a1", kCount + 100000, 5);
  big->FileOfSize("many/copy-a2", kCount + 100000, 5);
  for (const char* name : {"many/copy-b1", "many/copy-b2", "many/copy-b3"})
    big->File(name, "1234567");  // shares its size with f6, which holds zeros
  reporter.Settings.Folders = {folder};

  Scan();
  EXPECT_EQ(state.FFiles.size(), size_t{kCount} + 5);
  const std::string prefix = folder + "/copy-";
  EXPECT_EQ(
      Sorted(ListedGroups(state.lvFiles, Listing::Files)),
      (Groups{{prefix + "a1", prefix + "a2"}, {prefix + "b1", prefix + "b2", prefix + "b3"}}));
}

TEST_F(FaultInjection, ATreeTwoHundredLevelsDeep) {
  constexpr int kLevels = 200;
  std::string deepest;
  for (const char* top : {"A", "B"})
    deepest = testing::MakeFolderChain(tree.Path(top), kLevels, "d", "f", "at the bottom");
  reporter.Settings.FindFolderClones = true;

  Scan();
  const std::string bottom = deepest.substr(tree.Path("B/").size()) + "/f";
  EXPECT_EQ(FileGroups(), (Groups{{"A/" + bottom, "B/" + bottom}}));
  // A and B, then every pair of levels below them.
  const Groups dirs = DirGroups();
  EXPECT_EQ(dirs.size(), size_t{kLevels} + 1);
  EXPECT_EQ(dirs.front(), (std::vector<std::string>{"A", "B"}));
}

}  // namespace
}  // namespace parvolane
