#include "engine/dir_paths.h"

#include <algorithm>
#include <charconv>
#include <stdexcept>
#include <unordered_map>

#include "engine/file_digest.h"
#include "engine/paths.h"
#include "engine/text_case.h"

namespace parvolane {

namespace {

constexpr unsigned char UpperAscii(unsigned char c) {
  return c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c - 32) : c;
}

// The separator sorts before every other character, so that a folder's contents come right
// after it: "A", "A/x", "A - Copy", not "A", "A - Copy", "A/x".
constexpr int PathOrderKey(unsigned char c) {
  return c == '/' ? -1 : UpperAscii(c);
}

constexpr char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

// Names compared as PathLess compares paths, before its tie-break on letter case: a name that
// is the start of another comes first.
bool FoldedLess(std::string_view a, std::string_view b) {
  const size_t common = std::min(a.size(), b.size());
  for (size_t i = 0; i < common; ++i) {
    const int ca = PathOrderKey(static_cast<unsigned char>(a[i]));
    const int cb = PathOrderKey(static_cast<unsigned char>(b[i]));
    if (ca != cb) return ca < cb;
  }
  return a.size() < b.size();
}

// One name below one class of folders, letter case folded as PathLess folds it: the folders
// whose paths differ at most in the case of ASCII letters share a class.
struct FoldedKey {
  uint32_t ParentClass;
  std::string_view Name;
};

struct FoldedKeyHash {
  size_t operator()(const FoldedKey& key) const noexcept {
    uint64_t hash = 1469598103934665603ULL ^ key.ParentClass;
    for (const char c : key.Name) {
      hash ^= UpperAscii(static_cast<unsigned char>(c));
      hash *= 1099511628211ULL;
    }
    return static_cast<size_t>(hash);
  }
};

struct FoldedKeyEqual {
  bool operator()(const FoldedKey& a, const FoldedKey& b) const noexcept {
    if (a.ParentClass != b.ParentClass || a.Name.size() != b.Name.size()) return false;
    for (size_t i = 0; i < a.Name.size(); ++i) {
      if (UpperAscii(static_cast<unsigned char>(a.Name[i])) !=
          UpperAscii(static_cast<unsigned char>(b.Name[i])))
        return false;
    }
    return true;
  }
};

// Classes of folders whose paths fold alike, the order of those folded paths, and for every
// node its class.
struct FoldedClasses {
  std::vector<uint32_t> ClassOf;
  std::vector<uint32_t> Rank;  // of each class, in the order of the folded paths
};

// Asks for a stop every few thousand steps of a long loop.
class StopCheck final {
 public:
  explicit StopCheck(const std::function<bool()>& stopRequested) : FStopRequested(stopRequested) {}
  bool Stopped() {
    if (!FStopRequested || ++FSteps % 4096 != 0) return false;
    FStopped = FStopped || FStopRequested();
    return FStopped;
  }
  bool WasStopped() const { return FStopped; }

 private:
  const std::function<bool()>& FStopRequested;
  size_t FSteps = 0;
  bool FStopped = false;
};

// Empty when stopped.
FoldedClasses ClassesOf(const std::vector<PathNode>& nodes, const std::vector<uint32_t>& order,
                        StopCheck& stop) {
  FoldedClasses classes;
  classes.ClassOf.assign(nodes.size(), kNoPathNode);
  std::vector<FoldedKey> keys;
  std::unordered_map<FoldedKey, uint32_t, FoldedKeyHash, FoldedKeyEqual> index;
  index.reserve(nodes.size());
  for (const uint32_t i : order) {
    if (stop.Stopped()) return {};
    const PathNode& node = nodes[i];
    const FoldedKey key{node.Parent == kNoPathNode ? kNoPathNode : classes.ClassOf[node.Parent],
                        node.Name};
    const auto [found, added] = index.try_emplace(key, static_cast<uint32_t>(keys.size()));
    if (added) keys.push_back(key);
    classes.ClassOf[i] = found->second;
  }
  // The classes as a forest, each class's children sorted by name: its pre-order is the order
  // of the folded paths, since a path comes before everything below it.
  const size_t count = keys.size();
  std::vector<uint32_t> start(count + 2, 0);
  for (const FoldedKey& key : keys)
    ++start[(key.ParentClass == kNoPathNode ? count : key.ParentClass) + 1];
  for (size_t i = 1; i < start.size(); ++i)
    start[i] += start[i - 1];
  std::vector<uint32_t> children(count);
  std::vector<uint32_t> fill(start.begin(), start.end() - 1);
  for (uint32_t c = 0; c < count; ++c) {
    const uint32_t parent = keys[c].ParentClass;
    children[fill[parent == kNoPathNode ? count : parent]++] = c;
  }
  for (size_t p = 0; p <= count; ++p) {
    if (stop.Stopped()) return {};
    std::sort(children.begin() + start[p], children.begin() + start[p + 1],
              [&keys](uint32_t a, uint32_t b) { return FoldedLess(keys[a].Name, keys[b].Name); });
  }
  classes.Rank.assign(count, 0);
  uint32_t next = 0;
  std::vector<std::pair<uint32_t, uint32_t>> stack;  // a class's slot and its next child
  stack.emplace_back(static_cast<uint32_t>(count), start[count]);
  while (!stack.empty()) {
    auto& [slot, child] = stack.back();
    if (child == start[slot + 1]) {
      stack.pop_back();
      continue;
    }
    const uint32_t c = children[child++];
    classes.Rank[c] = next++;
    stack.emplace_back(c, start[c]);
  }
  return classes;
}

bool IsAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

std::string NormalizeDirPath(std::string_view path) {
  std::string out = MakeAbsolutePath(path);
  if (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

std::string EntryName(std::string_view path) {
  std::string_view trimmed = path;
  if (!trimmed.empty() && trimmed.back() == '/') trimmed.remove_suffix(1);
  const size_t slash = trimmed.rfind('/');
  const std::string_view last =
      slash == std::string_view::npos ? trimmed : trimmed.substr(slash + 1);
  return LowerCaseUnicode(last.empty() ? path : last);
}

bool HasAncestorIn(std::string_view path, const PathSet& set) {
  const std::string normalized = NormalizeDirPath(path);
  std::string_view current = normalized;
  while (current != "/") {
    const size_t slash = current.rfind('/');
    if (slash == std::string_view::npos) return false;
    // The part before "/name" is the parent; before a top-level name that is the root.
    current = slash == 0 ? std::string_view("/") : current.substr(0, slash);
    if (set.contains(current)) return true;
  }
  return false;
}

bool PathLess(std::string_view a, std::string_view b) {
  const size_t common = std::min(a.size(), b.size());
  for (size_t i = 0; i < common; ++i) {
    const int ca = PathOrderKey(static_cast<unsigned char>(a[i]));
    const int cb = PathOrderKey(static_cast<unsigned char>(b[i]));
    if (ca != cb) return ca < cb;
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;  // only letter case differs: byte order keeps the order total
}

bool AnalysisLess(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return a.size() > b.size();
  return PathLess(a, b);
}

std::vector<uint64_t> PathOrderKeys(const std::vector<PathNode>& nodes,
                                    const std::vector<uint32_t>& order,
                                    const std::function<bool()>& stopRequested) {
  StopCheck stop(stopRequested);
  const FoldedClasses classes = ClassesOf(nodes, order, stop);
  if (stop.WasStopped()) return {};
  // Within a class the paths differ only in letter case, component by component from the
  // top, so their byte order is that of (the parent's place in its class, the name's bytes).
  const size_t classCount = classes.Rank.size();
  std::vector<uint32_t> start(classCount + 1, 0);
  for (const uint32_t c : classes.ClassOf)
    ++start[classes.Rank[c] + 1];
  for (size_t i = 1; i < start.size(); ++i)
    start[i] += start[i - 1];
  std::vector<uint32_t> byRank(nodes.size());
  std::vector<uint32_t> fill(start.begin(), start.end() - 1);
  for (uint32_t i = 0; i < nodes.size(); ++i)
    byRank[fill[classes.Rank[classes.ClassOf[i]]]++] = i;

  std::vector<uint32_t> caseRank(nodes.size(), 0);
  const auto parentRank = [&](uint32_t i) {
    return nodes[i].Parent == kNoPathNode ? 0 : caseRank[nodes[i].Parent];
  };
  const auto caseLess = [&](uint32_t a, uint32_t b) {
    const uint32_t pa = parentRank(a);
    const uint32_t pb = parentRank(b);
    return pa != pb ? pa < pb : nodes[a].Name < nodes[b].Name;
  };
  // Parents' classes come first in the folded order, so their ranks are known in time.
  for (size_t r = 0; r < classCount; ++r) {
    if (stop.Stopped()) return {};
    const auto first = byRank.begin() + start[r];
    const auto last = byRank.begin() + start[r + 1];
    if (last - first < 2) continue;
    std::sort(first, last, caseLess);
    uint32_t rank = 0;
    for (auto it = first + 1; it != last; ++it) {
      if (caseLess(*(it - 1), *it)) ++rank;
      caseRank[*it] = rank;
    }
  }
  std::vector<uint64_t> keys(nodes.size());
  for (uint32_t i = 0; i < nodes.size(); ++i)
    keys[i] = (uint64_t{classes.Rank[classes.ClassOf[i]]} << 32) | caseRank[i];
  return keys;
}

void SignatureTextBuilder::Clear() {
  FLines.clear();
  FSpans.clear();
  FText.clear();
}

void SignatureTextBuilder::AddFile(std::string_view name, int64_t size) {
  BeginLine();
  AppendLiteral("F|");
  AppendName(name);
  AppendLiteral("|");
  AppendNumber(size);
}

void SignatureTextBuilder::AddFolder(std::string_view name, std::string_view signature,
                                     int64_t size) {
  BeginLine();
  AppendLiteral("D|");
  AppendName(name);
  AppendLiteral("|");
  AppendLiteral(signature.empty() ? std::string_view("!UNKNOWN_CHILD_SIG!") : signature);
  AppendLiteral("|");
  AppendNumber(size);
}

void SignatureTextBuilder::AddFilesAccessError() {
  BeginLine();
  AppendLiteral("!FILES_ACCESS_ERROR!");
}

void SignatureTextBuilder::AddDirsAccessError() {
  BeginLine();
  AppendLiteral("!DIRS_ACCESS_ERROR!");
}

std::string_view SignatureTextBuilder::Text() {
  const std::string_view lines = FLines;
  const auto lineOf = [lines](const std::pair<size_t, size_t>& span) {
    return lines.substr(span.first, span.second);
  };
  std::sort(FSpans.begin(), FSpans.end(),
            [&lineOf](const auto& a, const auto& b) { return lineOf(a) < lineOf(b); });
  FText.clear();
  FText.reserve(FLines.size() + 2 * FSpans.size());
  for (const auto& span : FSpans) {
    FText += lineOf(span);
    FText += "\r\n";
  }
  return FText;
}

void SignatureTextBuilder::BeginLine() {
  FSpans.emplace_back(FLines.size(), 0);
}

void SignatureTextBuilder::AppendName(std::string_view name) {
  std::string lowered;
  if (!IsAscii(name)) {
    lowered = LowerCaseUnicode(name);
    name = lowered;
  }
  for (const char c : name) {
    if (c == '\n') {
      FLines += "\\n";
    } else if (c == '\\') {
      FLines += "\\\\";
    } else {
      FLines += LowerAscii(c);
    }
  }
  FSpans.back().second = FLines.size() - FSpans.back().first;
}

void SignatureTextBuilder::AppendNumber(int64_t value) {
  char digits[24];
  const auto result = std::to_chars(std::begin(digits), std::end(digits), value);
  AppendLiteral(std::string_view(digits, static_cast<size_t>(result.ptr - digits)));
}

void SignatureTextBuilder::AppendLiteral(std::string_view text) {
  FLines += text;
  FSpans.back().second = FLines.size() - FSpans.back().first;
}

std::string SignatureOfText(std::string_view text) {
  return Sha1Hex(text);
}

}  // namespace parvolane
