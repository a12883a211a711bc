#include "platform/posix/write_all.h"

#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace parvolane {

int WriteAll(int fd, std::string_view data, const std::function<bool()>& stopRequested) {
  while (!data.empty()) {
    if (stopRequested && stopRequested()) return ECANCELED;
    const ssize_t written = ::write(fd, data.data(), data.size());
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return errno;
    // Only an empty write may write nothing; taking it as success would loop for ever.
    if (written == 0) return EIO;
    data.remove_prefix(static_cast<size_t>(written));
  }
  return 0;
}

}  // namespace parvolane
