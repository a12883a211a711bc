#include "engine/json_export.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "engine/clone_rows.h"

namespace parvolane {
namespace {

const std::string kFffd = "\xEF\xBF\xBD";

TEST(JsonStringLiteral, EscapesWhatJsonNeedsAndReplacesEachBadSequenceOnce) {
  // The replacement counts are those of Python's bytes.decode("utf-8", "replace"), which a
  // script uses to match "path" against "path_bytes".
  const struct {
    std::string text;
    std::string literal;
  } cases[] = {
      {"plain", "\"plain\""},
      {"", "\"\""},
      {"say \"hi\", ok", "\"say \\\"hi\\\", ok\""},
      {"back\\slash", "\"back\\\\slash\""},
      {"line\nbreak\ttab\rcr", "\"line\\nbreak\\ttab\\rcr\""},
      {"\x01\x1f\x7f", "\"\\u0001\\u001f\\u007f\""},
      {"\xF0\x9F\x98\x80 caf\xC3\xA9", "\"\xF0\x9F\x98\x80 caf\xC3\xA9\""},
      {"bad\xFF\xFE.bin", "\"bad" + kFffd + kFffd + ".bin\""},
      {"\x80", "\"" + kFffd + "\""},
      {"\xE2\x82", "\"" + kFffd + "\""},                                  // cut short
      {"\xE2\x82x", "\"" + kFffd + "x\""},                                // cut short, then ASCII
      {"\xED\xA0\x80", "\"" + kFffd + kFffd + kFffd + "\""},              // a surrogate
      {"\xC0\xAF", "\"" + kFffd + kFffd + "\""},                          // overlong
      {"\xF4\x90\x80\x80", "\"" + kFffd + kFffd + kFffd + kFffd + "\""},  // past U+10FFFF
      {"\xF0\x9F\x98\x80\xF0\x9F", "\"\xF0\x9F\x98\x80" + kFffd + "\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(JsonStringLiteral(c.text), c.literal) << c.text;
    EXPECT_EQ(IsValidUtf8(c.text), c.literal.find(kFffd) == std::string::npos) << c.text;
  }
}

TEST(Base64Text, MatchesTheStandardVectors) {
  const struct {
    std::string bytes;
    const char* text;
  } cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {std::string("\xFF\xFE\x00", 3), "//4A"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Base64Text(c.bytes), c.text) << c.bytes;
}

TEST(IsoUtcText, WritesUtcWithNanosecondsOverTheWholeRange) {
  const struct {
    int64_t ns;
    const char* text;
  } cases[] = {
      {0, "1970-01-01T00:00:00.000000000Z"},
      {1, "1970-01-01T00:00:00.000000001Z"},
      {-1, "1969-12-31T23:59:59.999999999Z"},
      {951827696123456789, "2000-02-29T12:34:56.123456789Z"},
      {INT64_MIN, "1677-09-21T00:12:43.145224192Z"},
      {INT64_MAX, "2262-04-11T23:47:16.854775807Z"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(IsoUtcText(c.ns), c.text) << c.ns;
}

// Two file groups (one with a hostile and one with an invalid name, hashed) and a folder group.
struct Fixture {
  Fixture() {
    Add("/d/a/x,\"q\"\n\t\xF0\x9F\x98\x80", 5, {1, 10}, "aaf4c61ddcc5e8a2dabede0f3b482cd9aea9434d");
    Add("/d/b/bad\xFF", 5, {1, 11}, "aaf4c61ddcc5e8a2dabede0f3b482cd9aea9434d");
    Add("/d/big", 9007199254740993, {2, 12}, "");
    Add("/d/big2", 9007199254740993, {2, 13}, "");
    int groupNo = 1;
    AddFileGroupToList(files, {records[0].get(), records[1].get()}, 10, groupNo);
    AddFileGroupToList(files, {records[2].get(), records[3].get()}, 18014398509481986, groupNo);
    const FolderSnapshots seen{{"/d/a", {{{1, 20}, 7, -1, true}, "x\\n\t5"}},
                               {"/d/b", {{{1, 21}, 7, 0, true}, ""}}};
    groupNo = 1;
    AddDirGroupToList(dirs, {"/d/a", "/d/b"}, {{"/d/a", 7}, {"/d/b", 7}}, 14, groupNo, &seen);
    summary.Skipped.Add(SkipKind::UnreadableFile, "/d/locked\n", EACCES);
    summary.Skipped.Add(SkipKind::Vanished, "/d/gone", 0);
    summary.FolderErrors.push_back("'/nowhere': No such file or directory");
    summary.FileGroupsCut = 3;
    summary.DirGroupsCut = 1;
    summary.FoldersLeftOut = 2;
  }
  void Add(const std::string& path, int64_t size, FileId id, const std::string& sha1) {
    records.push_back(std::make_unique<TFileInfo>(path, size));
    records.back()->Id = id;
    records.back()->MTimeNs = 1796899631561725673;
    records.back()->ContentHash = sha1;
  }

  std::vector<std::unique_ptr<TFileInfo>> records;
  ResultList files{FileListColumns()};
  ResultList dirs{DirListColumns()};
  ScanSummary summary;
};

TEST(ScanJsonText, WritesBothListsAndTheSummaryExactly) {
  const Fixture f;
  const std::string time = R"("mtime_ns": 1796899631561725673, )"
                           R"("mtime": "2026-12-10T10:47:11.561725673Z")";
  const std::string expected =
      "{\n"
      "  \"format\": \"parvolane-scan\",\n"
      "  \"format_version\": 1,\n"
      "  \"program_version\": \"" PARVOLANE_VERSION_TEXT
      "\",\n"
      "  \"looked_for\": {\"file_clones\": true, \"folder_clones\": false},\n"
      "  \"file_groups\": [\n"
      "    {\"group\": 1, \"total_size\": 10, \"files\": [\n"
      "      {\"path\": \"/d/a/x,\\\"q\\\"\\n\\t\xF0\x9F\x98\x80\", "
      "\"name\": \"x,\\\"q\\\"\\n\\t\xF0\x9F\x98\x80\", \"size\": 5, \"device\": 1, "
      "\"inode\": 10, " +
      time + ", \"sha1\": \"aaf4c61ddcc5e8a2dabede0f3b482cd9aea9434d\", \"checked\": false},\n" +
      "      {\"path\": \"/d/b/bad" + kFffd + "\", \"path_bytes\": \"L2QvYi9iYWT/\", " +
      "\"name\": \"bad" + kFffd + "\", \"name_bytes\": \"YmFk/w==\", \"size\": 5, " +
      "\"device\": 1, \"inode\": 11, " + time +
      ", \"sha1\": \"aaf4c61ddcc5e8a2dabede0f3b482cd9aea9434d\", \"checked\": true}\n"
      "    ]},\n"
      "    {\"group\": 2, \"total_size\": 18014398509481986, \"files\": [\n"
      "      {\"path\": \"/d/big\", \"name\": \"big\", \"size\": 9007199254740993, "
      "\"device\": 2, \"inode\": 12, " +
      time + ", \"sha1\": null, \"checked\": false},\n" +
      "      {\"path\": \"/d/big2\", \"name\": \"big2\", \"size\": 9007199254740993, "
      "\"device\": 2, \"inode\": 13, " +
      time + ", \"sha1\": null, \"checked\": true}\n" +
      "    ]}\n"
      "  ],\n"
      "  \"folder_groups\": [\n"
      "    {\"group\": 1, \"total_size\": 14, \"folders\": [\n"
      "      {\"path\": \"/d/a\", \"size\": 7, \"device\": 1, \"inode\": 20, "
      "\"mtime_ns\": -1, \"mtime\": \"1969-12-31T23:59:59.999999999Z\", "
      "\"signature\": \"x\\\\n\\t5\", \"checked\": false},\n"
      "      {\"path\": \"/d/b\", \"size\": 7, \"device\": 1, \"inode\": 21, "
      "\"mtime_ns\": 0, \"mtime\": \"1970-01-01T00:00:00.000000000Z\", \"checked\": false}\n"
      "    ]}\n"
      "  ],\n"
      "  \"summary\": {\n"
      "    \"skipped\": {\"unreadable_folder\": 0, \"unreadable_file\": 1, \"vanished\": 1, "
      "\"path_too_long\": 0, \"total\": 2},\n"
      "    \"skipped_entries\": [\n"
      "      {\"kind\": \"unreadable_file\", \"path\": \"/d/locked\\n\", "
      "\"message\": \"Permission denied\"},\n"
      "      {\"kind\": \"vanished\", \"path\": \"/d/gone\", \"message\": \"\"}\n"
      "    ],\n"
      "    \"folder_errors\": [\n"
      "      \"'/nowhere': No such file or directory\"\n"
      "    ],\n"
      "    \"file_groups_cut\": 3,\n"
      "    \"folder_groups_cut\": 1,\n"
      "    \"folders_left_out\": 2\n"
      "  }\n"
      "}\n";
  EXPECT_EQ(ScanJsonText(f.files, f.dirs, f.summary, {true, false}), expected);
}

TEST(ScanJsonText, EntriesTheScanCouldNotQueryAreNullAndEmptyListsAreEmptyArrays) {
  TFileInfo unsized("/d/odd", -1);
  TFileInfo sized("/d/odd2", 3);
  ResultList files(FileListColumns());
  int groupNo = 1;
  AddFileGroupToList(files, {&unsized, &sized}, 2, groupNo);
  const ResultList dirs(DirListColumns());
  const std::string text = ScanJsonText(files, dirs, ScanSummary{}, {true, true});

  EXPECT_NE(text.find(R"({"group": 1, "total_size": null, "files": [)"), std::string::npos);
  EXPECT_NE(text.find(R"({"path": "/d/odd", "name": "odd", "size": null, "device": null, )"
                      R"("inode": null, "mtime_ns": null, "mtime": null, "sha1": null, )"
                      R"("checked": false})"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\"folder_groups\": [],\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\"skipped_entries\": [],\n    \"folder_errors\": [],\n"), std::string::npos)
      << text;
}

}  // namespace
}  // namespace parvolane
