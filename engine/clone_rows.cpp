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
  const std::string number = std::to_string(GroupNo);
  // Members of a group mostly share their size, and formatting it is the dearest part of a row.
  int64_t formattedSize = 0;
  std::string sizeText;
  for (size_t i = 0; i < Files.size(); ++i) {
    const TFileInfo& file = *Files[i];
    if (i == 0 || file.Size != formattedSize) {
      formattedSize = file.Size;
      sizeText = FormatSizeMB(file.Size);
    }
    ResultRow row;
    row.GroupId = GroupNo;
    row.Checked = i > 0;
    row.Texts.reserve(4);
    row.Texts.push_back(number);
    row.Texts.emplace_back(file.Name());
    row.Texts.push_back(FolderPartOfPath(file.FullPath));
    row.Texts.push_back(sizeText);
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
  const std::string number = std::to_string(GroupNo);
  // Members of a group share their size; formatting it once matters for a group of many.
  std::string sizeText;
  for (size_t i = 0; i < Dirs.size(); ++i) {
    DirRowFacts& dir = Dirs[i];
    if (i == 0 || dir.Size != Dirs[i - 1].Size) sizeText = FormatSizeMB(dir.Size);
    ResultRow row;
    row.GroupId = GroupNo;
    row.Texts.reserve(3);
    row.Texts.push_back(number);
    row.Texts.push_back(dir.Path);
    row.Texts.push_back(sizeText);
    row.Path = std::move(dir.Path);
    row.Seen = dir.Seen.Seen;
    row.TreeSignature = std::move(dir.Seen.Signature);
    lvDirs.AddRow(std::move(row));
  }
  ++GroupNo;
}

}  // namespace parvolane
