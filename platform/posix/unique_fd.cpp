#include "platform/posix/unique_fd.h"

#include <unistd.h>

namespace parvolane {

void UniqueFd::Reset(int fd) {
  if (FFd >= 0) ::close(FFd);
  FFd = fd;
}

bool UniqueFd::Close() {
  const int fd = std::exchange(FFd, -1);
  return fd < 0 || ::close(fd) == 0;
}

}  // namespace parvolane
