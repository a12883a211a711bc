#include "results/path_parts.h"

namespace parvolane {

std::string_view NameOfPath(std::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string FolderPartOfPath(std::string_view path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {};
  // The root (or a separator right after another) keeps its separator, so that a file in "/"
  // shows "/" rather than nothing.
  if (slash == 0 || path[slash - 1] == '/') return std::string(path.substr(0, slash + 1));
  return std::string(path.substr(0, slash));
}

}  // namespace parvolane
