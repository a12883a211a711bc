#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>

namespace parvolane::testing {

/// The user that a test running as root becomes wherever a missing permission must hold.
inline constexpr uid_t kNobody = 65534;

/// Lets the user of RunUnprivileged reach and read everything below `root`: nothing to do for
/// an ordinary user; as root, read (and search on folders) for others on `root` and every entry
/// below it, which a fresh temporary folder (0700) or a strict umask leave out. Call it before
/// taking permissions away. Links are left as they are.
/// Errors: a failure of the running test when a folder above `root` keeps others out.
void ShareWithNobody(const std::string& root);

/// Runs `body` where a missing read permission really keeps an entry out: in this process for
/// an ordinary user; as root in a forked child that has become kNobody (no supplementary
/// groups). Returns the body's text ("exception: " and the message when it throws), or nothing
/// when the privileges cannot be dropped. A child killed by a signal returns a text naming it.
/// The body's assertions do not reach the test when it runs in the child: put what it found
/// into its text and compare that.
/// Threading: forks; call it while the test runs no other threads.
std::optional<std::string> RunUnprivileged(const std::function<std::string()>& body);

}  // namespace parvolane::testing
