#include "engine/clone_rows.h"

#include <utility>

#include "engine/scan_settings.h"

namespace parvolane {

namespace {

std::string GroupHeader(int groupNo, int64_t totalSize) {
  return "Group " + std::to_string(groupNo) + " (" + FormatSizeMB(totalSize) + ")";
}

}  // namespace

void AddFileGroupToList(ResultList& lvFiles, const std::vector<TFileInfo*>& Files,
                        int64_t TotalSize, int& GroupNo) {
  lvFiles.AddGroup(GroupNo, GroupHeader(GroupNo, TotalSize));
  for (size_t i = 0; i < Files.size(); ++i) {
    const TFileInfo& file = *Files[i];
    ResultRow row;
    row.GroupId = GroupNo;
    row.Checked = i > 0;
    row.IsFile = true;
    row.ContentHash = DigestText(file.ContentHash);
    row.Path = file.FullPath;
    row.Seen = EntrySnapshot{file.Id, file.Size, file.MTimeNs, file.Size >= 0};
    lvFiles.AddRow(std::move(row));
  }
  ++GroupNo;
}

void AddDirGroupToList(ResultList& lvDirs, const std::vector<std::string>& Dirs,
                       const std::unordered_map<std::string, int64_t>& DirSizes, int64_t TotalSize,
                       int& GroupNo, const FolderSnapshots* Snapshots) {
  lvDirs.AddGroup(GroupNo, GroupHeader(GroupNo, TotalSize));
  for (const std::string& dir : Dirs) {
    ResultRow row;
    row.GroupId = GroupNo;
    row.Path = dir;
    if (Snapshots != nullptr) {
      if (const auto seen = Snapshots->find(dir); seen != Snapshots->end()) {
        row.Seen = seen->second.Seen;
        row.TreeSignature = seen->second.Signature;
      }
    }
    // The size column shows the tree's total even where nothing else of the folder is known.
    const auto size = DirSizes.find(dir);
    row.Seen.Size = size == DirSizes.end() ? 0 : size->second;
    lvDirs.AddRow(std::move(row));
  }
  ++GroupNo;
}

}  // namespace parvolane
