// Preloaded into a program, makes the system refuse threads as a per-user thread limit does:
// pthread_create fails with EAGAIN from the call numbered PARVOLANE_REFUSE_THREADS_FROM on
// (1 = every call; unset or 0 = none). Each refusal appends a line to the file named by
// PARVOLANE_REFUSED_LOG, if set, so that a test can tell that the limit was met.
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

using CreateFunction = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

std::atomic<long> gCalls{0};

CreateFunction RealCreate() {
  void* symbol = ::dlsym(RTLD_NEXT, "pthread_create");
  CreateFunction create = nullptr;
  std::memcpy(&create, &symbol, sizeof create);
  return create;
}

void LogRefusal() {
  const char* log = std::getenv("PARVOLANE_REFUSED_LOG");
  if (log == nullptr) return;
  const int fd = ::open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return;
  const char line[] = "refused\n";
  [[maybe_unused]] const ssize_t written = ::write(fd, line, sizeof line - 1);
  ::close(fd);
}

}  // namespace

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                              void* arg) {
  static const CreateFunction real = RealCreate();
  const char* from = std::getenv("PARVOLANE_REFUSE_THREADS_FROM");
  const long refuseFrom = from == nullptr ? 0 : std::atol(from);
  if (refuseFrom > 0 && ++gCalls >= refuseFrom) {
    LogRefusal();
    return EAGAIN;
  }
  return real == nullptr ? ENOSYS : real(thread, attr, start, arg);
}
