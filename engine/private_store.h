#pragma once

#include <string>

namespace parvolane {

/// Makes the database file at `path` ready to be trusted as this user's own, creating what is
/// missing (its folder 0700, the file 0600): the folder and the file, and SQLite's side files
/// where present, must belong to the user, be a real folder and regular files (no links), and
/// be writable by no one else; the folder's parent must let no one else replace the folder
/// (owned by the user or root, and sticky where others may write to it). Returns why not, for
/// the user; empty when all is well.
/// Errors: none.
std::string PrivateStoreProblem(const std::string& path);

}  // namespace parvolane
