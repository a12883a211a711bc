#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <thread>
#include <utility>

#include "platform/posix/unique_dir.h"
#include "platform/posix/unique_fd.h"
#include "platform/posix/write_all.h"
#include "support/temp_tree.h"

namespace parvolane {
namespace {

bool IsOpenDescriptor(int fd) {
  return ::fcntl(fd, F_GETFD) != -1;
}

struct Pipe {
  UniqueFd Read;
  UniqueFd Write;
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) == 0) {
      Read.Reset(fds[0]);
      Write.Reset(fds[1]);
    }
  }
};

void OnAlarm(int) {}

// A timer signal without SA_RESTART keeps breaking the writer's blocked writes (EINTR before
// any byte, a short write after some), while a reader that never sees the signal drains the
// pipe: every byte must still arrive once and in order.
TEST(WriteAll, SurvivesInterruptedAndShortWrites) {
  struct sigaction action {};
  action.sa_handler = OnAlarm;
  struct sigaction saved {};
  ASSERT_EQ(::sigaction(SIGALRM, &action, &saved), 0);
  Pipe pipe;
  ASSERT_TRUE(pipe.Read.IsOpen());
  std::string data(4 << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<char>(i * 131 % 251);

  std::string received;
  std::thread reader([&] {
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipe.Read.get(), buffer, sizeof buffer)) != 0;) {
      if (n > 0) received.append(buffer, static_cast<size_t>(n));
      if (n < 0 && errno != EINTR) break;
    }
  });
  itimerval every{{0, 200}, {0, 200}};
  ::setitimer(ITIMER_REAL, &every, nullptr);
  const int error = WriteAll(pipe.Write.get(), data);
  itimerval off{};
  ::setitimer(ITIMER_REAL, &off, nullptr);
  pipe.Write.Reset();
  reader.join();
  ::sigaction(SIGALRM, &saved, nullptr);

  EXPECT_EQ(error, 0);
  EXPECT_EQ(received.size(), data.size());
  EXPECT_TRUE(received == data);
}

TEST(WriteAll, ReportsTheErrorOfTheFailedWrite) {
  const auto saved = std::signal(SIGPIPE, SIG_IGN);
  Pipe noReader;
  noReader.Read.Reset();
  Pipe readEnd;
  const UniqueFd full(::open("/dev/full", O_WRONLY | O_CLOEXEC));
  const struct {
    const char* what;
    int fd;
    int error;
  } cases[] = {
      {"a pipe nobody reads", noReader.Write.get(), EPIPE},
      {"a descriptor open for reading", readEnd.Read.get(), EBADF},
      {"a full device", full.get(), ENOSPC},
      {"no descriptor", -1, EBADF},
  };
  for (const auto& c : cases)
    EXPECT_EQ(WriteAll(c.fd, "some text"), c.error) << c.what;
  std::signal(SIGPIPE, saved);
}

TEST(WriteAll, AsksToStopBeforeEveryWriteAndWritesNothingAfterwards) {
  Pipe pipe;
  int asked = 0;
  EXPECT_EQ(WriteAll(pipe.Write.get(), "text", [&] { return ++asked > 0; }), ECANCELED);
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(WriteAll(pipe.Write.get(), "", [] { return true; }), 0) << "nothing left to stop";
  EXPECT_EQ(WriteAll(pipe.Write.get(), "text", [] { return false; }), 0);
  pipe.Write.Reset();
  char buffer[16];
  EXPECT_EQ(::read(pipe.Read.get(), buffer, sizeof buffer), 4);
}

TEST(UniqueDir, ListsTheFolderAndClosesItsDescriptorWhenItGoes) {
  testing::TempTree tree;
  tree.File("only.txt", "x");
  int fd = -1;
  {
    UniqueDir dir = UniqueDir::Adopt(UniqueFd(::open(tree.Root().c_str(), O_RDONLY | O_DIRECTORY)));
    ASSERT_TRUE(dir.IsOpen());
    fd = dir.Fd();
    const UniqueDir moved = std::move(dir);
    EXPECT_FALSE(dir.IsOpen());
    EXPECT_EQ(moved.Fd(), fd);
    std::string names;
    while (const dirent* entry = ::readdir(moved.get()))
      names += std::string(entry->d_name) + "/";
    EXPECT_NE(names.find("only.txt/"), std::string::npos) << names;
  }
  EXPECT_FALSE(IsOpenDescriptor(fd));
}

TEST(UniqueDir, ClosesADescriptorThatIsNoFolderAndKeepsTheReason) {
  testing::TempTree tree;
  tree.File("file", "x");
  UniqueFd file(::open(tree.Path("file").c_str(), O_RDONLY | O_CLOEXEC));
  const int fd = file.get();
  ASSERT_GE(fd, 0);
  errno = 0;
  const UniqueDir dir = UniqueDir::Adopt(std::move(file));
  EXPECT_EQ(errno, ENOTDIR);
  EXPECT_FALSE(dir.IsOpen());
  EXPECT_EQ(dir.Fd(), -1);
  EXPECT_FALSE(IsOpenDescriptor(fd));
  EXPECT_FALSE(UniqueDir::Adopt(UniqueFd()).IsOpen());
}

}  // namespace
}  // namespace parvolane
