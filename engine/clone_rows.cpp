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
  lvDirs.AddGroup(GroupNo, GroupHeader(GroupNo, TotalSize));
  const std::string number = std::to_string(GroupNo);
  for (const std::string& dir : Dirs) {
    const auto size = DirSizes.find(dir);
    ResultRow row;
    row.GroupId = GroupNo;
    row.Texts.reserve(3);
    row.Texts.push_back(number);
    row.Texts.push_back(dir);
    row.Texts.push_back(FormatSizeMB(size == DirSizes.end() ? 0 : size->second));
    row.Path = dir;
    if (Snapshots != nullptr) {
      if (const auto seen = Snapshots->find(dir); seen != Snapshots->end()) {
        row.Seen = seen->second.Seen;
        row.TreeSignature = seen->second.Signature;
      }
    }
    lvDirs.AddRow(std::move(row));
  }
  ++GroupNo;
}

}  // namespace parvolane
