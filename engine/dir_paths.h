#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

namespace parvolane {

/// Hash for string keys that can be looked up with a std::string_view, without building a
/// std::string for every probe.
struct PathHash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const noexcept {
    return std::hash<std::string_view>()(text);
  }
};

/// A set of folder paths compared exactly, byte for byte (paths here are case sensitive).
using PathSet = std::unordered_set<std::string, PathHash, std::equal_to<>>;

/// A folder path in the form folder clone detection keys it by: absolute, "." and ".."
/// resolved lexically, no trailing '/', except the root, which is "/".
std::string NormalizeDirPath(std::string_view path);

/// The last component of a folder path (a trailing '/' ignored; the whole path when nothing is
/// left), lower-cased as names are in signature texts.
std::string EntryName(std::string_view path);

/// True when a proper ancestor of the normalized path, up to and including the root "/", is in
/// the set. The path itself is never tested.
bool HasAncestorIn(std::string_view path, const PathSet& set);

/// The order of members within a folder group: bytes compared after mapping only the ASCII
/// letters a to z onto A to Z, with '/' before every other character (a folder's contents
/// follow it at once); a prefix comes first. Paths that differ only in the case of
/// ASCII letters (two folders on this platform) fall back to byte order, so the order is total.
bool PathLess(std::string_view a, std::string_view b);

/// The order in which folders are signed: longer paths first, equal lengths in path order, so
/// that every folder comes after all folders below it.
bool AnalysisLess(std::string_view a, std::string_view b);

/// A folder of a tree given by parent links: its parent's index (kNoPathNode for the top,
/// whose path is "/") and its own name.
struct PathNode {
  uint32_t Parent;
  std::string_view Name;
};

/// The index that stands for "no folder".
inline constexpr uint32_t kNoPathNode = UINT32_MAX;

/// Keys that order the folders of a tree as PathLess orders their full paths ("/" for a top,
/// "/name" below it, "parent/name" further down), without building any path: PathLess(path(a),
/// path(b)) exactly when key[a] < key[b], and equal paths get equal keys. `order` lists every
/// node once, each after its parent. Time and memory are linear in the number of nodes and
/// the bytes of their names, times a logarithm for sorting siblings. `stopRequested`, when
/// given, is asked every few thousand nodes; true ends the work with an empty result.
std::vector<uint64_t> PathOrderKeys(const std::vector<PathNode>& nodes,
                                    const std::vector<uint32_t>& order,
                                    const std::function<bool()>& stopRequested = {});

/// Builds the text that a folder's signature is the digest of, from its direct entries.
///
/// Every entry gives one line, names lower-cased; the lines are sorted by their bytes and each
/// is followed by CR LF. Lines are kept as a multiset: two entries whose names differ only in
/// letter case are two lines, so a folder holding "a.txt" and "A.txt" never signs like a folder
/// holding one of them. A line feed or backslash inside a name is escaped, so that a single
/// name can never read as several lines.
///
/// Reusable: Clear() keeps the buffers, so signing many folders allocates little.
class SignatureTextBuilder final {
 public:
  void Clear();
  /// A file (any entry that is not a folder) directly in the folder; `name` as the file system
  /// gives it.
  void AddFile(std::string_view name, int64_t size);
  /// A subfolder with its signature (empty when it has none) and its total size.
  void AddFolder(std::string_view name, std::string_view signature, int64_t size);
  /// The folder's files could not be listed.
  void AddFilesAccessError();
  /// The folder's subfolders could not be listed.
  void AddDirsAccessError();
  /// The finished text; valid until the next call on the builder.
  std::string_view Text();

 private:
  void BeginLine();
  void AppendName(std::string_view name);
  void AppendNumber(int64_t value);
  void AppendLiteral(std::string_view text);

  std::string FLines;                             // every line, one after the other
  std::vector<std::pair<size_t, size_t>> FSpans;  // offset and length of each line
  std::string FText;
};

/// SHA-1 of the text's bytes as 40 lower-case hexadecimal digits.
std::string SignatureOfText(std::string_view text);

}  // namespace parvolane
