#include "engine/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "engine/text_case.h"
#include "platform/posix/long_path.h"

namespace parvolane {

namespace {

std::string CurrentFolder() {
  std::vector<char> buf(4096);
  while (::getcwd(buf.data(), buf.size()) == nullptr) {
    if (errno != ERANGE) return "/";
    buf.resize(buf.size() * 2);
  }
  return buf.data();
}

}  // namespace

std::string MakeAbsolutePath(std::string_view path) {
  std::string full = (!path.empty() && path.front() == '/')
                         ? std::string(path)
                         : CurrentFolder() + "/" + std::string(path);
  const bool trailing = full.size() > 1 && full.back() == '/';
  std::vector<std::string_view> parts;
  std::string_view rest(full);
  while (!rest.empty()) {
    const size_t slash = rest.find('/');
    const std::string_view part = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::string out;
  for (const std::string_view part : parts) {
    out += '/';
    out += part;
  }
  if (out.empty()) return "/";
  if (trailing) out += '/';
  return out;
}

std::string NormalizeFolderPath(std::string_view path) {
  path = TrimBlanksAndControls(path);
  if (path.empty()) return {};
  std::string out = MakeAbsolutePath(path);
  if (out.back() != '/') out += '/';
  return out;
}

bool IsExistingFolder(const std::string& path) {
  struct stat st {};
  return !path.empty() && StatLongPath(path, st, true) && S_ISDIR(st.st_mode);
}

bool IsExistingFile(const std::string& path) {
  struct stat st {};
  return !path.empty() && StatLongPath(path, st, true) && !S_ISDIR(st.st_mode);
}

}  // namespace parvolane
