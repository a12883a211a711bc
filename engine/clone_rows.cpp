#include "engine/clone_rows.h"

#include <utility>

#include "engine/scan_settings.h"

namespace parvolane {

namespace {

std::string GroupHeader(int groupNo, int64_t totalSize) {
  return "Group " + std::to_string(groupNo) + " (" + FormatSizeMB(totalSize) + ")";
}

ResultRow FileRowOf(TFileInfo& file, int groupNo, bool checked, bool takePath) {
  ResultRow row;
  row.GroupId = groupNo;
  row.Checked = checked;
  row.IsFile = true;
  row.Digest = file.ContentHash;
  row.Path = takePath ? std::move(file.FullPath) : file.FullPath;
  row.Seen = EntrySnapshot{file.Id, file.Size, file.MTimeNs, file.Size >= 0};
  return row;
}

}  // namespace

void AddFileGroupToList(ResultList& lvFiles, const std::vector<TFileInfo*>& Files,
                        int64_t TotalSize, int& GroupNo) {
  lvFiles.AddGroup(GroupNo, GroupHeader(GroupNo, TotalSize));
  for (size_t i = 0; i < Files.size(); ++i)
    lvFiles.AddRow(FileRowOf(*Files[i], GroupNo, i > 0, false));
  ++GroupNo;
}

void MoveFileGroupToList(ResultList& lvFiles, std::span<TFileInfo* const> Files, int64_t TotalSize,
                         int& GroupNo, const std::function<void(TFileInfo*)>& release) {
  lvFiles.AddGroup(GroupNo, GroupHeader(GroupNo, TotalSize));
  for (size_t i = 0; i < Files.size(); ++i) {
    ResultRow row = FileRowOf(*Files[i], GroupNo, i > 0, true);
    release(Files[i]);
    lvFiles.AddRow(std::move(row));
  }
  ++GroupNo;
}

void AddDirGroupToList(ResultList& lvDirs, const std::vector<std::string>& Dirs,
                       const std::unordered_map<std::string, int64_t>& DirSizes, int64_t TotalSize,
                       int& GroupNo, const FolderSnapshots* Snapshots) {
  std::vector<DirRowFacts> facts;
  facts.reserve(Dirs.size());
  for (const std::string& dir : Dirs) {
    DirRowFacts& row = facts.emplace_back();
    row.Path = dir;
    if (const auto size = DirSizes.find(dir); size != DirSizes.end()) row.Size = size->second;
    if (Snapshots != nullptr) {
      if (const auto seen = Snapshots->find(dir); seen != Snapshots->end()) row.Seen = seen->second;
    }
  }
  AddDirGroupToList(lvDirs, std::move(facts), TotalSize, GroupNo);
}

void AddDirGroupToList(ResultList& lvDirs, std::vector<DirRowFacts> Dirs, int64_t TotalSize,
                       int& GroupNo) {
  lvDirs.AddGroup(GroupNo, GroupHeader(GroupNo, TotalSize));
  for (DirRowFacts& dir : Dirs) {
    ResultRow row;
    row.GroupId = GroupNo;
    row.Path = std::move(dir.Path);
    row.Seen = dir.Seen.Seen;
    row.Digest = dir.Seen.Signature;
    // The size column shows the tree's total even where nothing else of the folder is known.
    row.Seen.Size = dir.Size;
    lvDirs.AddRow(std::move(row));
  }
  ++GroupNo;
}

}  // namespace parvolane
