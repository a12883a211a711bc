#pragma once

#include <string>

namespace parvolane {

/// The user's home folder: $HOME when it is absolute, else the password database's entry;
/// empty when neither is known.
std::string HomeFolder();

/// An XDG base folder: the variable's value when it is absolute (relative values are invalid
/// and ignored), else the home folder joined with `fallback` (".cache", ".local/share");
/// empty when no home folder is known.
std::string XdgFolder(const char* variable, const char* fallback);

/// The home trash ($XDG_DATA_HOME/Trash, else ~/.local/share/Trash); empty when no home folder
/// is known. The trash code moves files there and the folder walks leave it out: both ask here.
std::string HomeTrashFolder();

/// mkdir -p: creates every missing folder on the way with `mode`; true when the path is a
/// folder at the end.
bool MakeFolders(const std::string& path, unsigned mode);

}  // namespace parvolane
