#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <string_view>

#include "platform/posix/unique_fd.h"

namespace parvolane {

/// Paths of any length. The kernel refuses a path of PATH_MAX bytes or more in one call, but a
/// folder tree can be deeper than that; these open such a path piece by piece, each piece
/// relative to the folder before it, and fall back to one plain call for ordinary paths.

/// The folder that holds the last component of `path`, opened (O_PATH is not used, so the
/// descriptor can be listed), and that component; for "/" itself the root and ".".
/// Relative paths start at the current folder. Not open when the folder cannot be reached
/// (errno tells why).
struct ParentAndName {
  UniqueFd Parent;
  std::string Name;
};
ParentAndName OpenParentOf(std::string_view path);

/// open(2) for a path of any length: `flags` (and `mode`) apply to the last component, the
/// folders on the way are followed as open(2) would. -1 with errno set on failure.
int OpenLongPath(std::string_view path, int flags, mode_t mode = 0);

/// lstat(2) / stat(2) for a path of any length; false with errno set on failure.
bool StatLongPath(std::string_view path, struct stat& st, bool followLink);

}  // namespace parvolane
