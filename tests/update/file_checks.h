#pragma once

// Looks at the files that the update tests leave behind.

#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>

namespace parvolane::testing {

/// The whole file, or nothing when it cannot be read.
inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

/// The permission bits of the entry itself (a link is not followed); 0 when it is missing.
inline mode_t PermissionsOf(const std::string& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return 0;
  return info.st_mode & 07777;
}

}  // namespace parvolane::testing
