#pragma once

#include <string>

namespace parvolane::testing {

/// Makes `levels` nested folders, each named `name`, below `top` (created when missing), every
/// one with mkdirat relative to the folder before it, so that the chain may reach far past
/// PATH_MAX. Writes `content` into a file `fileName` in the deepest folder and returns that
/// folder's path.
std::string MakeFolderChain(const std::string& top, int levels, const std::string& name,
                            const std::string& fileName, const std::string& content);

/// Opens a path of any length one component at a time, links followed on the way; the last
/// component is followed too unless `followLast` is false. An O_PATH descriptor, or -1.
int OpenAnyPath(const std::string& path, bool followLast);

/// Removes a tree of any depth and path length below `path` (itself a short path), restoring
/// permissions on the way; it works from descriptors, which std::filesystem cannot do past
/// PATH_MAX.
void RemoveTreeAt(const std::string& path);

}  // namespace parvolane::testing
