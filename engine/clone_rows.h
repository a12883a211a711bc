#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/file_info.h"
#include "results/result_list.h"

namespace parvolane {

/// Adds one group "Group N (size)" with a row per file; every file but the first is checked.
/// GroupNo is raised by 1.
void AddFileGroupToList(ResultList& lvFiles, const std::vector<TFileInfo*>& Files,
                        int64_t TotalSize, int& GroupNo);
/// The same for records that are not needed once listed: each gives its path to its row and is
/// released by `release` before that row is added, so that the row takes the record's memory.
void MoveFileGroupToList(ResultList& lvFiles, std::span<TFileInfo* const> Files, int64_t TotalSize,
                         int& GroupNo, const std::function<void(TFileInfo*)>& release);
/// Adds one group with a row per folder, none checked, sizes looked up in DirSizes (0 when
/// absent). GroupNo is raised by 1.
/// Snapshots, when given, give each row what the scan saw of its folder.
void AddDirGroupToList(ResultList& lvDirs, const std::vector<std::string>& Dirs,
                       const std::unordered_map<std::string, int64_t>& DirSizes, int64_t TotalSize,
                       int& GroupNo, const FolderSnapshots* Snapshots = nullptr);

/// One folder of a group with what its row shows and carries.
struct DirRowFacts {
  std::string Path;
  int64_t Size = 0;
  FolderSnapshot Seen;
};
/// The same group from facts the caller already holds, so that no lookup by path is needed.
void AddDirGroupToList(ResultList& lvDirs, std::vector<DirRowFacts> Dirs, int64_t TotalSize,
                       int& GroupNo);

}  // namespace parvolane
