#include "results/csv_export.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <thread>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "support/temp_tree.h"

namespace parvolane {
namespace {

using testing::TempTree;

const std::string kBom = "\xEF\xBB\xBF";

void AddRows(ResultList& list, const std::vector<std::vector<std::string>>& rows) {
  for (const auto& texts : rows)
    list.AddRow(ResultRow{1, texts, false, nullptr, {}, {}, {}});
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
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
  ResultList list({{"A,\"b\"", 1}, {"c", 1}});  // a header caption is never quoted
  AddRows(list, {{"1", "plain"},
                 {"1", "a, b"},
                 {"2", "say \"hi\""},
                 {"2", "\"\""},
                 {"3", "line\nbreak\ttab\r"},
                 {"3", invalidUtf8},
                 {"4", "😀"},
                 {"", ""}});
  const std::string expected = kBom +
                               "A,\"b\",c\r\n"
                               "\"1\",\"plain\"\r\n"
                               "\"1\",\"a, b\"\r\n"
                               "\"2\",\"say \"\"hi\"\"\"\r\n"
                               "\"2\",\"\"\"\"\"\"\r\n"
                               "\"3\",\"line\nbreak\ttab\r\"\r\n"
                               "\"3\",\"" +
                               invalidUtf8 +
                               "\"\r\n"
                               "\"4\",\"😀\"\r\n"
                               "\"\",\"\"\r\n";
  EXPECT_EQ(ListViewCsvText(list), expected);
}

TEST(CsvText, RowsAreWrittenWhateverTheirChecksAndGroups) {
  ResultList list(DirListColumns());
  list.AddGroup(1, "Group 1 (0.00 MB)");
  list.AddRow(ResultRow{1, {"1", "/a", "0.00 MB"}, true, nullptr, {}, {}, {}});
  list.AddRow(ResultRow{1, {"1", "/b", "0.00 MB"}, false, nullptr, {}, {}, {}});
  EXPECT_EQ(ListViewCsvText(list), kBom +
                                       "Group,Directory,Size\r\n"
                                       "\"1\",\"/a\",\"0.00 MB\"\r\n"
                                       "\"1\",\"/b\",\"0.00 MB\"\r\n");
}

class CsvExport : public ::testing::Test {
 protected:
  void SetUp() override {
    FOldMask = ::umask(022);
    AddRows(list, {{"1", "x.txt", "/d", "1.00 MB"}});
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
  EXPECT_EQ(ReadAll(target), ListViewCsvText(list));
  struct stat st {};
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);

  ASSERT_EQ(::chmod(target.c_str(), 0600), 0);
  const ResultList empty(FileListColumns());
  ExportListViewToCsv(empty, target);
  EXPECT_EQ(ReadAll(target), ListViewCsvText(empty));
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
  EXPECT_EQ(ReadAll(target), previous);

  EXPECT_THROW(ExportListViewToCsv(list, tree.Path("dir.csv")), std::system_error);
  EXPECT_EQ(ReadAll(tree.Path("dir.csv/keep")), "x");

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
  EXPECT_EQ(ReadAll(other), ListViewCsvText(list));

  // A device is written into, never replaced by a file.
  ExportListViewToCsv(list, "/dev/null");
  struct stat st {};
  ASSERT_EQ(::stat("/dev/null", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));

  // So is a pipe: a reader gets the text, and the pipe is still a pipe.
  const std::string fifo = tree.Path("pipe.csv");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::string received;
  std::thread reader([&] { received = ReadAll(fifo); });
  ExportListViewToCsv(list, fifo);
  reader.join();
  EXPECT_EQ(received, ListViewCsvText(list));
  ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  EXPECT_EQ(Entries(tree.Root()), (std::set<std::string>{"elsewhere.csv", "link.csv", "pipe.csv"}));
}

}  // namespace
}  // namespace parvolane
