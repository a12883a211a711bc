#pragma once

#include <string>
#include <string_view>

namespace parvolane {

/// The last component of a path: everything after its last '/'.
std::string_view NameOfPath(std::string_view path);

/// The folder part of a path as the "Directory" column shows it: everything before the last
/// '/', or up to and including it when it is the root (or follows another '/'); empty when the
/// path holds no '/'.
std::string FolderPartOfPath(std::string_view path);

}  // namespace parvolane
