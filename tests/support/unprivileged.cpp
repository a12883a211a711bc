#include "support/unprivileged.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <exception>
#include <filesystem>
#include <string_view>

#include "platform/posix/unique_fd.h"
#include "platform/posix/write_all.h"
#include "support/temp_tree.h"

namespace fs = std::filesystem;

namespace parvolane::testing {

namespace {

constexpr int kCannotDropPrivileges = 3;

// A folder above the tree that others cannot enter would make every entry of the tree look
// unreadable, and a test expecting unreadable entries would pass for the wrong reason.
void ExpectOthersReach(const fs::path& root) {
  for (fs::path above = root.parent_path(); !above.empty(); above = above.parent_path()) {
    struct stat st {};
    if (::stat(above.c_str(), &st) == 0 && (st.st_mode & S_IXOTH) == 0) {
      ADD_FAILURE() << above << " keeps user " << kNobody << " out of " << root
                    << "; point TMPDIR to a folder that others may enter";
      return;
    }
    if (above == above.root_path()) return;
  }
}

void LetOthersRead(const fs::path& entry) {
  const fs::file_status status = fs::symlink_status(entry);
  if (fs::is_symlink(status)) return;  // chmod would change the target instead
  fs::perms added = fs::perms::others_read;
  if (fs::is_directory(status)) added |= fs::perms::others_exec;
  fs::permissions(entry, added, fs::perm_options::add);
}

[[noreturn]] void RunAsNobody(int out, const std::function<std::string()>& body) {
  if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
    ::_exit(kCannotDropPrivileges);
  std::string text;
  try {
    text = body();
  } catch (const std::exception& e) {
    text = std::string("exception: ") + e.what();
  }
  // No destructors, no exit handlers: the tree and everything else belong to the parent.
  ::_exit(WriteAll(out, text) == 0 ? 0 : 1);
}

}  // namespace

void ShareWithNobody(const std::string& root) {
  if (::geteuid() != 0) return;
  ExpectOthersReach(fs::path(root));
  LetOthersRead(root);
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root))
    LetOthersRead(entry.path());
}

std::optional<std::string> RunUnprivileged(const std::function<std::string()>& body) {
  if (::geteuid() != 0) return body();
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return std::nullopt;
  UniqueFd readEnd(pipeFds[0]);
  UniqueFd writeEnd(pipeFds[1]);
  const pid_t child = ::fork();
  if (child < 0) return std::nullopt;
  if (child == 0) {
    readEnd.Reset();
    RunAsNobody(writeEnd.get(), body);
  }
  writeEnd.Reset();  // the child's end alone stays open, so the read sees its end
  const std::string text = ReadAllFrom(readEnd.get());
  int status = 0;
  if (::waitpid(child, &status, 0) != child) return std::nullopt;
  if (WIFEXITED(status) && WEXITSTATUS(status) == kCannotDropPrivileges) return std::nullopt;
  if (WIFSIGNALED(status)) return "the body died of signal " + std::to_string(WTERMSIG(status));
  return text;
}

}  // namespace parvolane::testing
