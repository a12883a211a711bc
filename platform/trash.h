#pragma once

#include <string>
#include <vector>

namespace parvolane {

/// One entry that a trash request renamed into a trash.
struct TrashedItem {
  std::string Requested;  // the path exactly as the request gave it
  std::string Original;   // where it was: its real folder and its own name
  std::string TrashPath;  // where it is now, in the trash's files/ folder
  std::string InfoPath;   // its .trashinfo record
};

/// One path of a request that did not go to the trash, and why.
struct TrashFailure {
  std::string Requested;  // the path exactly as the request gave it
  int Error = 0;          // the errno of the step that refused it
};

/// What one trash request did.
struct TrashResult {
  /// The entries renamed into a trash, in request order. A path that lies inside another
  /// path of the request travels with that one and is not listed on its own.
  std::vector<TrashedItem> Moved;
  /// True only when every path of the request was moved (itself or with a folder above it).
  bool Complete = false;
  /// The paths that failed, in request order: those the checks refused when nothing moved,
  /// else those whose rename failed. Empty for a complete or an empty request.
  std::vector<TrashFailure> Failed;
};

/// "cannot move '<path>' to the trash: <the system's reason>".
std::string TrashFailureText(const TrashFailure& failure);

/// Moves every path (a file, a folder or a link itself) to the trash of its own volume, the
/// freedesktop.org way: the home trash ($XDG_DATA_HOME/Trash) for the volume it lives on, else
/// $topdir/.Trash/$uid or $topdir/.Trash-$uid at the top of the path's volume. Entries are only
/// ever renamed into the trash with their .trashinfo record beside them: never copied across
/// volumes and never deleted outright. A path on another mount of the home trash's file system
/// (a bind mount), which cannot be renamed into the home trash, goes to the trash at the top of
/// its own mount. Records in a volume's trash name the path relative to the volume's top.
/// Paths of any length are handled.
///
/// When a path is missing, its folder is not writable or its volume has no usable trash,
/// nothing at all is moved (the request fails before the first rename); a rename that fails
/// later leaves the paths moved so far in the trash, listed in Moved. An empty request moves
/// nothing and is not Complete. A volume trash folder that the request created and that is
/// still empty at its end is removed again; one that was there before is never touched.
///
/// Threading: any thread; the request reads the process's current folder for relative paths.
TrashResult MoveToTrash(const std::vector<std::string>& paths);

/// Puts a trashed entry back where it came from and removes its record. Never replaces an
/// entry that now holds the original name, and never creates missing folders on the way.
/// Returns an empty text on success, else why it could not ("name taken", the system's
/// reason).
std::string RestoreFromTrash(const TrashedItem& item);

/// True when the path lies in a trash folder of this user (the home trash, or $topdir/.Trash
/// or $topdir/.Trash-$uid of any volume); such an entry is already on its way out.
bool IsInsideTrash(const std::string& path);

}  // namespace parvolane
