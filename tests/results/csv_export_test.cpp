#include "results/csv_export.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "platform/posix/unique_fd.h"
#include "support/temp_tree.h"

namespace parvolane {
namespace {

using testing::ReadAllFrom;
using testing::ReadFileText;
using testing::TempTree;

const std::string kBom = "\xEF\xBB\xBF";

// Folder rows of group `group`, one per path, each of a tree of `size` bytes.
void AddFolderRows(ResultList& list, int group, const std::vector<std::string>& paths,
                   int64_t size = 0, bool checked = false) {
  for (const std::string& path : paths) {
    ResultRow row;
    row.GroupId = group;
    row.Checked = checked;
    row.Path = path;
    row.Seen.Size = size;
    list.AddRow(std::move(row));
  }
}

std::set<std::string> Entries(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.insert(entry.path().filename().string());
  return names;
}

TEST(CsvText, EmptyListIsTheHeaderLineOnly) {
  const ResultList files(FileListColumns());
  EXPECT_EQ(ListViewCsvText(files), kBom + "Group,File name,Directory,File size (MB)\r\n");
  const ResultList dirs(DirListColumns());
  EXPECT_EQ(ListViewCsvText(dirs), kBom + "Group,Directory,Size\r\n");
}

TEST(CsvText, CellsAreQuotedWithQuotesDoubledAndNothingElseChanged) {
  const std::string invalidUtf8 = "bad\xFF\xFE.bin";
  ResultList list({{"A,\"b\""}, {"c"}, {"d"}});  // a header caption is never quoted
  AddFolderRows(list, 1, {"plain", "a, b"});
  AddFolderRows(list, 2, {"say \"hi\"", "\"\""});
  AddFolderRows(list, 3, {"line\nbreak\ttab\r", invalidUtf8});
  AddFolderRows(list, 4, {"😀", ""});
  const std::string expected = kBom +
                               "A,\"b\",c,d\r\n"
                               "\"1\",\"plain\",\"0.00 MB\"\r\n"
                               "\"1\",\"a, b\",\"0.00 MB\"\r\n"
                               "\"2\",\"say \"\"hi\"\"\",\"0.00 MB\"\r\n"
                               "\"2\",\"\"\"\"\"\",\"0.00 MB\"\r\n"
                               "\"3\",\"line\nbreak\ttab\r\",\"0.00 MB\"\r\n"
                               "\"3\",\"" +
                               invalidUtf8 +
                               "\",\"0.00 MB\"\r\n"
                               "\"4\",\"😀\",\"0.00 MB\"\r\n"
                               "\"4\",\"\",\"0.00 MB\"\r\n";
  EXPECT_EQ(ListViewCsvText(list), expected);
}

TEST(CsvText, RowsAreWrittenWhateverTheirChecksAndGroups) {
  ResultList list(DirListColumns());
  list.AddGroup(1, "Group 1 (0.00 MB)");
  AddFolderRows(list, 1, {"/a"}, 0, true);
  AddFolderRows(list, 1, {"/b"});
  EXPECT_EQ(ListViewCsvText(list), kBom +
                                       "Group,Directory,Size\r\n"
                                       "\"1\",\"/a\",\"0.00 MB\"\r\n"
                                       "\"1\",\"/b\",\"0.00 MB\"\r\n");
}

TEST(CsvText, FileRowsGiveNameFolderAndSizeFromTheirData) {
  ResultList list(FileListColumns());
  ResultRow row;
  row.GroupId = 12;
  row.IsFile = true;
  row.Path = "/data/a, \"b\"/x.txt";
  row.Seen.Size = 3 << 20;
  list.AddRow(row);
  row.Path = "/y";
  row.Seen.Size = -1;  // never queried
  list.AddRow(row);
  EXPECT_EQ(ListViewCsvText(list), kBom +
                                       "Group,File name,Directory,File size (MB)\r\n"
                                       "\"12\",\"x.txt\",\"/data/a, \"\"b\"\"\",\"3.00 MB\"\r\n"
                                       "\"12\",\"y\",\"/\",\"0\"\r\n");
}

class CsvExport : public ::testing::Test {
 protected:
  void SetUp() override {
    FOldMask = ::umask(022);
    ResultRow row;
    row.GroupId = 1;
    row.IsFile = true;
    row.Path = "/d/x.txt";
    row.Seen.Size = 1 << 20;
    list.AddRow(std::move(row));
  }
  void TearDown() override { ::umask(FOldMask); }

  TempTree tree;
  ResultList list{FileListColumns()};

 private:
  mode_t FOldMask = 0;
};

TEST_F(CsvExport, WritesANewFileAndReplacesAnOldOneKeepingItsMode) {
  const std::string target = tree.Path("out.csv");
  ExportListViewToCsv(list, target);
  EXPECT_EQ(ReadFileText(target), ListViewCsvText(list));
  struct stat st {};
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);

  ASSERT_EQ(::chmod(target.c_str(), 0600), 0);
  const ResultList empty(FileListColumns());
  ExportListViewToCsv(empty, target);
  EXPECT_EQ(ReadFileText(target), ListViewCsvText(empty));
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(Entries(tree.Root()), std::set<std::string>{"out.csv"});
}

TEST_F(CsvExport, AMissingFolderNamesThePathAndTheReason) {
  const std::string target = tree.Path("missing/out.csv");
  try {
    ExportListViewToCsv(list, target);
    FAIL() << "no error";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code().value(), ENOENT);
    EXPECT_EQ(std::string(e.what()),
              "cannot write '" + target + "': " + std::generic_category().message(ENOENT));
  }
}

// Keeps the file-size limit low while it lives, so that writing fails part-way like on a full
// disk; the signal that the limit raises is ignored so that write() reports the error.
class FileSizeLimit final {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &FOld);
    FOldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit low = FOld;
    low.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &low);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &FOld);
    std::signal(SIGXFSZ, FOldHandler);
  }

 private:
  rlimit FOld{};
  void (*FOldHandler)(int) = nullptr;
};

TEST_F(CsvExport, FailuresLeaveThePreviousFileAndNoTemporaryFile) {
  const std::string previous = "previous content";
  const std::string target = tree.File("out.csv", previous);
  tree.File("dir.csv/keep", "x");  // a folder of that name cannot be replaced by a file
  const std::string unwritable = tree.Dir("locked") + "/out.csv";
  ::chmod(tree.Path("locked").c_str(), 0555);
  const bool lockedHolds = ::access(tree.Path("locked").c_str(), W_OK) != 0;  // not as root

  {
    const FileSizeLimit limit(8);
    EXPECT_THROW(ExportListViewToCsv(list, target), std::system_error);
  }
  EXPECT_EQ(ReadFileText(target), previous);

  EXPECT_THROW(ExportListViewToCsv(list, tree.Path("dir.csv")), std::system_error);
  EXPECT_EQ(ReadFileText(tree.Path("dir.csv/keep")), "x");

  if (lockedHolds) {
    EXPECT_THROW(ExportListViewToCsv(list, unwritable), std::system_error);
  }
  EXPECT_EQ(Entries(tree.Root()), (std::set<std::string>{"out.csv", "dir.csv", "locked"}));
  EXPECT_TRUE(Entries(tree.Path("locked")).empty());
}

TEST_F(CsvExport, WritesThroughLinksAndIntoDevicesAndPipes) {
  // A link keeps pointing at the file, which gets the new content.
  const std::string other = tree.File("elsewhere.csv", "old");
  const std::string link = tree.Symlink("link.csv", other);
  ExportListViewToCsv(list, link);
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(ReadFileText(other), ListViewCsvText(list));

  // A device is written into, never replaced by a file.
  ExportListViewToCsv(list, "/dev/null");
  struct stat st {};
  ASSERT_EQ(::stat("/dev/null", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));

  // So is a pipe: a reader gets the text, and the pipe is still a pipe.
  const std::string fifo = tree.Path("pipe.csv");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const UniqueFd reader(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  ASSERT_TRUE(reader.IsOpen());
  ExportListViewToCsv(list, fifo);
  EXPECT_EQ(ReadAllFrom(reader.get()), ListViewCsvText(list));
  ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  EXPECT_EQ(Entries(tree.Root()), (std::set<std::string>{"elsewhere.csv", "link.csv", "pipe.csv"}));
}

TEST_F(CsvExport, APipeWithoutAReaderIsRefusedAtOnce) {
  const std::string fifo = tree.Path("pipe.csv");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string link = tree.Symlink("to-pipe.csv", fifo);
  for (const std::string& target : {fifo, link}) {
    try {
      ExportListViewToCsv(list, target);
      FAIL() << "no error for " << target;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()),
                "cannot write '" + fifo + "': it is a pipe that no program is reading from");
    }
  }
  struct stat st {};
  ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

// The rule of protected_symlinks: in a sticky folder that everyone may write to, only the
// user's own links and the folder owner's are followed.
TEST_F(CsvExport, ALinkPlantedByAnotherUserInASharedFolderIsNotFollowed) {
  constexpr uid_t kOther = 65534;
  const std::string victim = tree.File("victim.csv", "keep me");
  const struct {
    mode_t folderMode;
    bool otherOwnsLink;
    bool followed;
  } cases[] = {
      {01777, true, false},  // /tmp and a stranger's link
      {01777, false, true},  // /tmp and the user's own link
      {00777, true, true},   // not sticky: the kernel follows it too
      {01755, true, true},   // sticky but only its owner writes there
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::string folder = tree.Dir("shared" + std::to_string(n++));
    ASSERT_EQ(::chmod(folder.c_str(), c.folderMode), 0);
    const std::string link =
        tree.Symlink(folder.substr(tree.Root().size() + 1) + "/out.csv", victim);
    if (c.otherOwnsLink && ::lchown(link.c_str(), kOther, kOther) != 0) {
      GTEST_SKIP() << "only root can give a link to another user";
    }
    if (c.followed) {
      ExportListViewToCsv(list, link);
      EXPECT_EQ(ReadFileText(victim), ListViewCsvText(list)) << c.folderMode;
      std::ofstream(victim, std::ios::trunc) << "keep me";
    } else {
      try {
        ExportListViewToCsv(list, link);
        ADD_FAILURE() << "the planted link was followed";
      } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()),
                  "cannot write '" + link +
                      "': it is a symbolic link that another user made in a shared folder; it "
                      "is not followed");
      }
      EXPECT_EQ(ReadFileText(victim), "keep me");
    }
    EXPECT_TRUE(std::filesystem::is_symlink(link));
  }
}

std::atomic<bool> gStop{false};
extern "C" void OnStopSignal(int) {
  gStop = true;
}

TEST_F(CsvExport, AStopEndsAnExportThatWaitsForASlowReader) {
  // Far more than a pipe holds, so that the write waits for the reader that never reads.
  ResultList big{DirListColumns()};
  for (int i = 0; i < 20000; ++i)
    AddFolderRows(big, i, {"/some/folder/of/some/length/name.bin"}, 1 << 20);
  const std::string fifo = tree.Path("pipe.csv");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const UniqueFd reader(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));

  struct sigaction action {};
  struct sigaction old {};
  action.sa_handler = OnStopSignal;  // no SA_RESTART: the signal breaks the waiting write
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGUSR1, &action, &old);
  gStop = false;
  std::atomic<bool> finished{false};
  const pthread_t exporter = ::pthread_self();
  std::thread interrupter([&] {
    while (!finished) {
      ::pthread_kill(exporter, SIGUSR1);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  EXPECT_THROW(ExportListViewToCsv(big, fifo, [] { return gStop.load(); }), ExportInterrupted);
  finished = true;
  interrupter.join();
  ::sigaction(SIGUSR1, &old, nullptr);

  // A file is left as it was, with no temporary file beside it.
  const std::string target = tree.File("out.csv", "previous");
  EXPECT_THROW(ExportListViewToCsv(list, target, [] { return true; }), ExportInterrupted);
  EXPECT_EQ(ReadFileText(target), "previous");
  EXPECT_EQ(Entries(tree.Root()), (std::set<std::string>{"out.csv", "pipe.csv"}));
}

}  // namespace
}  // namespace parvolane
