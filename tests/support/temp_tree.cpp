#include "support/temp_tree.h"

#include "support/deep_tree.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace fs = std::filesystem;

namespace parvolane::testing {

TempTree::TempTree() : TempTree(fs::temp_directory_path().string()) {}

TempTree::TempTree(const std::string& base) {
  std::string pattern = (fs::path(base) / "parvolane-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  FRoot = pattern;
}

std::string FastTempBase() {
  if (::access("/dev/shm", W_OK | X_OK) == 0) return "/dev/shm";
  return fs::temp_directory_path().string();
}

TempTree::~TempTree() {
  RemoveTree(FRoot);
}

std::string TempTree::Path(const std::string& relative) const {
  return FRoot + "/" + relative;
}

std::string TempTree::File(const std::string& relative, const std::string& content) {
  const std::string full = Path(relative);
  fs::create_directories(fs::path(full).parent_path());
  std::ofstream out(full, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + full);
  return full;
}

std::string TempTree::FileOfSize(const std::string& relative, int64_t size, unsigned seed) {
  std::string content(static_cast<size_t>(size), '\0');
  std::mt19937 rng(seed);
  for (char& c : content)
    c = static_cast<char>(rng());
  return File(relative, content);
}

std::string TempTree::Dir(const std::string& relative) {
  const std::string full = Path(relative);
  fs::create_directories(full);
  return full;
}

std::string TempTree::Symlink(const std::string& relative, const std::string& target) {
  const std::string full = Path(relative);
  fs::create_directories(fs::path(full).parent_path());
  fs::create_symlink(target, full);
  return full;
}

std::string TempTree::HardLink(const std::string& relative, const std::string& existing) {
  const std::string full = Path(relative);
  fs::create_directories(fs::path(full).parent_path());
  fs::create_hard_link(existing, full);
  return full;
}

void RemoveTree(const std::string& path) {
  // Works from descriptors, so that trees deeper than PATH_MAX go too.
  RemoveTreeAt(path);
}

std::string ReadFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string ReadAllFrom(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n = 0;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
    text.append(buffer, static_cast<size_t>(n));
  return text;
}

}  // namespace parvolane::testing
