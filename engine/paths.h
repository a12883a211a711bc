#pragma once

#include <string>
#include <string_view>

namespace parvolane {

/// Makes a path absolute against the process's current folder and resolves "." and ".."
/// lexically (links are not followed); repeated '/' collapse to one. Keeps a trailing '/'.
std::string MakeAbsolutePath(std::string_view path);

/// The form of a folder-list entry: blanks and control characters trimmed, absolute, ending
/// with '/'. Empty when nothing is left after trimming.
std::string NormalizeFolderPath(std::string_view path);

/// True when the path names an existing folder (links followed); paths of any length.
bool IsExistingFolder(const std::string& path);
/// True when the path names an existing entry that is not a folder (links followed).
bool IsExistingFile(const std::string& path);

}  // namespace parvolane
