#pragma once

#include <optional>
#include <string>
#include <vector>

#include "engine/file_info.h"
#include "results/result_list.h"

namespace parvolane::testing {

/// Which result list a check reads: file rows name their record, folder rows their
/// "Directory" text.
enum class Listing { Files, Dirs };

/// The listed groups in list order, each as the paths of its rows in row order.
std::vector<std::vector<std::string>> ListedGroups(const ResultList& list, Listing kind);

/// Everything in the list that offers a file or a folder as a clone of itself, one line each:
/// a group naming one path twice, two members that are one file (device and inode), and for
/// folders a member inside another member of its group, whatever path reaches it. Members that
/// no longer exist are judged by their paths only. Empty when there is nothing.
std::vector<std::string> SelfCloneFaults(const ResultList& list, Listing kind);

/// The identity of the entry at a path of any length; a last link is followed only when asked.
std::optional<FileId> IdOfPath(const std::string& path, bool followLast = false);

}  // namespace parvolane::testing
