#pragma once

#include <string>
#include <vector>

namespace parvolane {

/// Moves every path (a file, a folder or a link itself) to the trash of its own volume, the
/// freedesktop.org way: the home trash ($XDG_DATA_HOME/Trash) for the volume it lives on, else
/// $topdir/.Trash/$uid or $topdir/.Trash-$uid at the top of the path's volume. Entries are only
/// ever renamed into the trash with their .trashinfo record beside them: never copied across
/// volumes and never deleted outright.
///
/// Returns true only when every path was moved. A path that lies inside another path of the
/// same request travels with that one and counts as moved. When a path is missing, its folder
/// is not writable or its volume has no usable trash, nothing at all is moved (the request
/// fails before the first rename); a rename that fails later leaves the paths moved so far in
/// the trash and returns false. An empty request returns false.
///
/// Threading: any thread; the request reads the process's current folder for relative paths.
bool MoveToTrash(const std::vector<std::string>& paths);

}  // namespace parvolane
