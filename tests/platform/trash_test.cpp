#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QRegularExpression>
#include <QTest>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/posix/long_path.h"
#include "platform/posix/unique_fd.h"
#include "platform/trash.h"
#include "support/deep_tree.h"
#include "support/loop_volume.h"
#include "support/temp_tree.h"

using parvolane::MoveToTrash;
using parvolane::TrashResult;
using parvolane::testing::LoopVolume;
using parvolane::testing::ReadFileText;
using parvolane::testing::RemoveTree;
using parvolane::testing::TempTree;
namespace fs = std::filesystem;

namespace {

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  ::lstat(path.c_str(), &st);
  return st.st_mode & 07777;
}

std::set<std::string> Names(const std::string& folder) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec))
    names.insert(entry.path().filename().string());
  return names;
}

std::optional<std::string> PercentDecode(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
    i += 2;
  }
  return out;
}

/// The two keys of a .trashinfo record, checked for the layout every reader expects.
struct TrashInfo {
  std::string EncodedPath;
  std::string Path;
  std::string DeletionDate;
};

TrashInfo ReadInfo(const std::string& infoFile) {
  const std::string text = ReadFileText(infoFile);
  const QRegularExpression layout(
      R"(^\[Trash Info\]\nPath=([^\n]*)\nDeletionDate=(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)\n$)");
  const QRegularExpressionMatch match = layout.match(QString::fromLatin1(text));
  if (!match.hasMatch()) return {};
  TrashInfo info;
  info.EncodedPath = match.captured(1).toStdString();
  info.Path = PercentDecode(info.EncodedPath).value_or("");
  info.DeletionDate = match.captured(2).toStdString();
  return info;
}

/// Sets or clears the flag that makes the kernel refuse to rename or remove an entry, for
/// root as for anyone: a rename that fails after every check has passed.
bool SetImmutable(const std::string& path, bool on) {
  const parvolane::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  int flags = 0;
  if (!fd.IsOpen() || ::ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) != 0) return false;
  flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
  return ::ioctl(fd.get(), FS_IOC_SETFLAGS, &flags) == 0;
}

std::string VolumeTrashOf(const LoopVolume& volume) {
  return volume.Path(".Trash-" + std::to_string(::getuid()));
}

/// A temporary folder whose data home (and so the home trash) does not exist yet.
class FreshDataHome final {
 public:
  FreshDataHome() { ::setenv("XDG_DATA_HOME", DataHome().c_str(), 1); }
  ~FreshDataHome() { ::unsetenv("XDG_DATA_HOME"); }
  TempTree& Tree() { return FTree; }
  std::string DataHome() const { return FTree.Path("data/home"); }
  std::string Files() const { return DataHome() + "/Trash/files/"; }
  std::string Info() const { return DataHome() + "/Trash/info/"; }

 private:
  TempTree FTree;
};

}  // namespace

class TrashTest final : public QObject {
  Q_OBJECT

 private slots:
  void movesHostileNamesWithMatchingInfo_data();
  void movesHostileNamesWithMatchingInfo();
  void movesFoldersAndLinksThemselves();
  void collidingNamesNeverReplaceAnything();
  void missingPathMovesNothing();
  void renameFailureKeepsNoInfoAndReportsFalse();
  void pathsInsideAMovedFolderTravelWithIt();
  void overlongNameStillFits();
  void shortenedNamesKeepWholeCharacters_data();
  void shortenedNamesKeepWholeCharacters();
  void pathsOfAnyLengthGoAndComeBack();
  void restoreNeverReplaces();
  void bindMountUsesItsOwnTrash();
  void emptyRequestFails();
  void otherVolumeUsesItsOwnTrash();
  void failureOnAVolumeSaysWhatAndWhy_data();
  void failureOnAVolumeSaysWhatAndWhy();
  void restoreOnAReadOnlyVolumeSaysWhy();
};

void TrashTest::movesHostileNamesWithMatchingInfo_data() {
  QTest::addColumn<QByteArray>("name");
  QTest::newRow("plain") << QByteArray("report.txt");
  QTest::newRow("not utf-8") << QByteArray("caf\xe9 \xff\xfe.bin");
  QTest::newRow("newline") << QByteArray("two\nlines");
  QTest::newRow("tab") << QByteArray("tab\there");
  QTest::newRow("quote and comma") << QByteArray("say \"hi\", ok");
  QTest::newRow("percent") << QByteArray("100% %41 done");
  QTest::newRow("emoji and accents") << QByteArray("\xc3\xa9t\xc3\xa9 \xf0\x9f\x98\x80.jpg");
  QTest::newRow("leading dot") << QByteArray(".hidden");
}

void TrashTest::movesHostileNamesWithMatchingInfo() {
  QFETCH(QByteArray, name);
  FreshDataHome home;
  const std::string file =
      home.Tree().File("in/" + name.toStdString(), "content of " + name.toStdString());
  const std::time_t before = std::time(nullptr);

  QVERIFY(MoveToTrash({file}).Complete);

  QVERIFY(!Exists(file));
  const std::string trashed = home.Files() + name.toStdString();
  QCOMPARE(ReadFileText(trashed), "content of " + name.toStdString());
  const TrashInfo info = ReadInfo(home.Info() + name.toStdString() + ".trashinfo");
  QCOMPARE(info.Path, file);
  QVERIFY(QRegularExpression("^[A-Za-z0-9/._~%-]*$")
              .match(QString::fromStdString(info.EncodedPath))
              .hasMatch());
  std::tm local{};
  QVERIFY(::strptime(info.DeletionDate.c_str(), "%Y-%m-%dT%H:%M:%S", &local) != nullptr);
  local.tm_isdst = -1;
  QVERIFY(std::abs(std::difftime(std::mktime(&local), before)) < 120);
  for (const std::string& folder : {home.DataHome() + "/Trash", home.Files(), home.Info()})
    QCOMPARE(ModeOf(folder), mode_t{0700});
}

void TrashTest::movesFoldersAndLinksThemselves() {
  FreshDataHome home;
  home.Tree().File("dir/sub/deep.txt", "deep");
  const std::string target = home.Tree().File("target.txt", "target");
  const std::string link = home.Tree().Symlink("link", target);

  // A trailing '/' names the same folder.
  QVERIFY(MoveToTrash({home.Tree().Path("dir/"), link}).Complete);

  QCOMPARE(ReadFileText(home.Files() + "dir/sub/deep.txt"), std::string("deep"));
  QCOMPARE(ReadInfo(home.Info() + "dir.trashinfo").Path, home.Tree().Path("dir"));
  QVERIFY(fs::is_symlink(home.Files() + "link"));
  QCOMPARE(ReadFileText(target), std::string("target"));
}

void TrashTest::collidingNamesNeverReplaceAnything() {
  FreshDataHome home;
  const std::string a1 = home.Tree().File("one/a.txt", "first");
  const std::string a2 = home.Tree().File("two/a.txt", "second");
  const std::string a3 = home.Tree().File("three/a.txt", "third");
  QVERIFY(MoveToTrash({a1, a2}).Complete);
  // An entry left in files/ without its record (another program's crash) is not replaced.
  std::ofstream(home.Files() + "a (3).txt") << "orphan";
  QVERIFY(MoveToTrash({a3}).Complete);

  QCOMPARE(Names(home.Files()),
           (std::set<std::string>{"a.txt", "a (2).txt", "a (3).txt", "a (4).txt"}));
  QCOMPARE(ReadFileText(home.Files() + "a (3).txt"), std::string("orphan"));
  const struct {
    const char* name;
    std::string original;
    const char* content;
  } expected[] = {{"a.txt", a1, "first"}, {"a (2).txt", a2, "second"}, {"a (4).txt", a3, "third"}};
  for (const auto& e : expected) {
    QCOMPARE(ReadFileText(home.Files() + e.name), std::string(e.content));
    QCOMPARE(ReadInfo(home.Info() + e.name + ".trashinfo").Path, e.original);
  }
}

void TrashTest::missingPathMovesNothing() {
  FreshDataHome home;
  const std::string kept = home.Tree().File("kept.txt", "kept");
  QVERIFY(!MoveToTrash({kept, home.Tree().Path("missing.txt")}).Complete);
  QCOMPARE(ReadFileText(kept), std::string("kept"));
  QVERIFY(Names(home.Files()).empty());
  QVERIFY(Names(home.Info()).empty());
}

void TrashTest::renameFailureKeepsNoInfoAndReportsFalse() {
  FreshDataHome home;
  const std::string file = home.Tree().File("v.txt", "v");
  home.Tree().Dir("data/home/Trash/files");
  // The folder that holds the trash cannot move into it; the rename fails after the checks.
  QVERIFY(!MoveToTrash({file, home.Tree().Path("data")}).Complete);
  QCOMPARE(Names(home.Files()), std::set<std::string>{"v.txt"});
  QCOMPARE(Names(home.Info()), std::set<std::string>{"v.txt.trashinfo"});
  QVERIFY(Exists(home.DataHome()));
}

void TrashTest::pathsInsideAMovedFolderTravelWithIt() {
  FreshDataHome home;
  const std::string dir = home.Tree().Dir("dir");
  const std::string inner = home.Tree().File("dir/sub/f.txt", "f");
  const std::string before = home.Tree().File("before.txt", "b");
  QVERIFY(MoveToTrash({before, dir, inner, dir}).Complete);
  QCOMPARE(Names(home.Files()), (std::set<std::string>{"before.txt", "dir"}));
  QCOMPARE(Names(home.Info()), (std::set<std::string>{"before.txt.trashinfo", "dir.trashinfo"}));
  QCOMPARE(ReadFileText(home.Files() + "dir/sub/f.txt"), std::string("f"));
}

void TrashTest::overlongNameStillFits() {
  FreshDataHome home;
  const std::string name = std::string(251, 'n') + ".txt";
  const std::string first = home.Tree().File("x/" + name, "1");
  const std::string second = home.Tree().File("y/" + name, "2");
  QVERIFY(MoveToTrash({first, second}).Complete);
  const std::set<std::string> names = Names(home.Files());
  QCOMPARE(names.size(), size_t{2});
  for (const std::string& trashed : names) {
    QVERIFY(trashed.size() + 10 <= 255);
    QVERIFY(trashed.ends_with(".txt"));
    const std::string original = ReadInfo(home.Info() + trashed + ".trashinfo").Path;
    QCOMPARE(ReadFileText(home.Files() + trashed), std::string(original == first ? "1" : "2"));
  }
}

void TrashTest::shortenedNamesKeepWholeCharacters_data() {
  QTest::addColumn<QByteArray>("character");
  QTest::newRow("two bytes") << QByteArray("\xc3\xa9");
  QTest::newRow("three bytes") << QByteArray("\xe2\x82\xac");
  QTest::newRow("four bytes") << QByteArray("\xf0\x9f\x98\x80");
}

void TrashTest::shortenedNamesKeepWholeCharacters() {
  QFETCH(QByteArray, character);
  FreshDataHome home;
  // Every cut position falls inside some character for one of the two offsets.
  for (const std::string lead : {"", "a", "ab", "abc"}) {
    std::string name = lead;
    while (name.size() + character.size() + 4 <= 255)
      name += character.toStdString();
    name += ".txt";
    home.Tree().File("x" + lead + "/" + name, "1");
    home.Tree().File("y" + lead + "/" + name, "2");
    QVERIFY(MoveToTrash({home.Tree().Path("x" + lead + "/" + name),
                         home.Tree().Path("y" + lead + "/" + name)})
                .Complete);
  }
  for (const std::string& trashed : Names(home.Files())) {
    QVERIFY(trashed.size() + 10 <= 255);
    const QString decoded = QString::fromUtf8(trashed.c_str());
    QVERIFY2(decoded.toUtf8().toStdString() == trashed, trashed.c_str());
  }
}

void TrashTest::pathsOfAnyLengthGoAndComeBack() {
  FreshDataHome home;
  const std::string deep = parvolane::testing::MakeFolderChain(
      home.Tree().Path("deep"), 40, std::string(120, 'd'), "far.txt", "far away");
  QVERIFY(deep.size() > PATH_MAX);
  const std::string file = deep + "/far.txt";
  const TrashResult result = MoveToTrash({file});
  QVERIFY(result.Complete);
  QCOMPARE(result.Moved.size(), size_t{1});
  QCOMPARE(ReadFileText(home.Files() + "far.txt"), std::string("far away"));
  QCOMPARE(ReadInfo(home.Info() + "far.txt.trashinfo").Path, result.Moved[0].Original);
  QCOMPARE(parvolane::RestoreFromTrash(result.Moved[0]), std::string());
  QVERIFY(Names(home.Files()).empty() && Names(home.Info()).empty());
  struct stat st {};
  QVERIFY(parvolane::StatLongPath(file, st, false));
  parvolane::testing::RemoveTreeAt(home.Tree().Path("deep"));
}

void TrashTest::restoreNeverReplaces() {
  FreshDataHome home;
  const std::string file = home.Tree().File("in/doc.txt", "old");
  const TrashResult result = MoveToTrash({file});
  QCOMPARE(result.Moved.size(), size_t{1});
  QCOMPARE(result.Moved[0].Requested, file);
  std::ofstream(file) << "new";
  QCOMPARE(parvolane::RestoreFromTrash(result.Moved[0]), std::string("the name is taken"));
  QCOMPARE(ReadFileText(file), std::string("new"));
  QCOMPARE(ReadFileText(result.Moved[0].TrashPath), std::string("old"));
  QVERIFY(Exists(result.Moved[0].InfoPath));
  fs::remove(file);
  fs::remove(home.Tree().Path("in"));
  // Missing folders on the way are not made up.
  QVERIFY(!parvolane::RestoreFromTrash(result.Moved[0]).empty());
  QVERIFY(Exists(result.Moved[0].TrashPath));
}

// Another mount of the home trash's file system: rename(2) refuses to cross it, so the entry
// goes to the trash at the top of that mount.
void TrashTest::bindMountUsesItsOwnTrash() {
  FreshDataHome home;
  const std::string source = home.Tree().Dir("source");
  const std::string point = home.Tree().Dir("mounted");
  if (::mount(source.c_str(), point.c_str(), nullptr, MS_BIND, nullptr) != 0)
    QSKIP("bind mounts need privileges here");
  struct Unmount {
    std::string point;
    ~Unmount() { ::umount2(point.c_str(), MNT_DETACH); }
  } unmount{point};
  const std::string file = point + "/bound.txt";
  std::ofstream(file) << "bound";
  const TrashResult result = MoveToTrash({file});
  QVERIFY(result.Complete);
  const std::string trash = point + "/.Trash-" + std::to_string(::getuid());
  QCOMPARE(result.Moved.at(0).TrashPath, trash + "/files/bound.txt");
  QCOMPARE(ReadFileText(trash + "/files/bound.txt"), std::string("bound"));
  QCOMPARE(ReadInfo(trash + "/info/bound.txt.trashinfo").Path, std::string("bound.txt"));
  QVERIFY(Names(home.Files()).empty() && Names(home.Info()).empty());
  QCOMPARE(parvolane::RestoreFromTrash(result.Moved[0]), std::string());
  QCOMPARE(ReadFileText(file), std::string("bound"));
}

void TrashTest::emptyRequestFails() {
  FreshDataHome home;
  QVERIFY(!MoveToTrash({}).Complete);
}

void TrashTest::otherVolumeUsesItsOwnTrash() {
  FreshDataHome home;
  home.Tree().Dir("data");
  const std::string volume = "/dev/shm";
  struct stat shm {};
  struct stat data {};
  if (::stat(volume.c_str(), &shm) != 0 || ::stat(home.Tree().Path("data").c_str(), &data) != 0 ||
      shm.st_dev == data.st_dev || ::access(volume.c_str(), W_OK) != 0)
    QSKIP("no second writable file system at /dev/shm");
  const std::string trash = volume + "/.Trash-" + std::to_string(::getuid());
  if (Exists(trash) || Exists(volume + "/.Trash")) QSKIP("a trash exists there already");
  std::string pattern = volume + "/parvolane-trash-test-XXXXXX";
  QVERIFY(::mkdtemp(pattern.data()) != nullptr);
  struct Cleanup {
    std::vector<std::string> paths;
    ~Cleanup() {
      for (const std::string& p : paths)
        RemoveTree(p);
    }
  } cleanup{{pattern, trash}};
  const std::string file = pattern + "/on-shm.txt";
  std::ofstream(file) << "shm";

  QVERIFY(MoveToTrash({file}).Complete);

  QCOMPARE(ModeOf(trash), mode_t{0700});
  QCOMPARE(ReadFileText(trash + "/files/on-shm.txt"), std::string("shm"));
  // A volume's trash names its entries relative to the volume's top.
  QCOMPARE(ReadInfo(trash + "/info/on-shm.txt.trashinfo").Path, file.substr(volume.size() + 1));
  QVERIFY(Names(home.Files()).empty());
}

enum class Fault { ReadOnly, Full, RenameRefused };
Q_DECLARE_METATYPE(Fault)

void TrashTest::failureOnAVolumeSaysWhatAndWhy_data() {
  QTest::addColumn<Fault>("fault");
  QTest::addColumn<int>("error");
  QTest::addColumn<bool>("trashBefore");  // an empty trash folder was there before
  QTest::addColumn<bool>("oneMovable");   // the request holds a third path that can go

  QTest::newRow("read-only") << Fault::ReadOnly << EROFS << false << false;
  // Room for the trash's three folders, none for the record: the folders are made first.
  QTest::newRow("full") << Fault::Full << ENOSPC << false << false;
  QTest::newRow("rename refused") << Fault::RenameRefused << EPERM << false << false;
  QTest::newRow("full, the trash was there") << Fault::Full << ENOSPC << true << false;
  QTest::newRow("rename refused, the trash was there")
      << Fault::RenameRefused << EPERM << true << false;
  QTest::newRow("rename refused, another path moved")
      << Fault::RenameRefused << EPERM << false << true;
}

void TrashTest::failureOnAVolumeSaysWhatAndWhy() {
  QFETCH(Fault, fault);
  QFETCH(int, error);
  QFETCH(bool, trashBefore);
  QFETCH(bool, oneMovable);
  FreshDataHome home;
  LoopVolume volume;
  if (!volume.Ready()) QSKIP("mounting a volume of its own needs root and a loop device");
  const std::string trash = VolumeTrashOf(volume);
  if (trashBefore) {
    fs::create_directories(trash + "/files");
    fs::create_directories(trash + "/info");
  }
  const std::vector<std::string> refused{volume.File("photos/a.jpg", "a"),
                                         volume.File("photos/b c.jpg", "b")};
  std::vector<std::string> request = refused;
  if (oneMovable) request.push_back(volume.File("other/c.jpg", "c"));
  switch (fault) {
    case Fault::ReadOnly:
      QVERIFY(volume.RemountReadOnly());
      break;
    case Fault::Full:
      QVERIFY(volume.FillLeaving(trashBefore ? 0 : 3));
      break;
    case Fault::RenameRefused:
      for (const std::string& path : refused)
        QVERIFY(SetImmutable(path, true));
      break;
  }

  const TrashResult result = MoveToTrash(request);

  if (fault == Fault::RenameRefused) {
    for (const std::string& path : refused)
      SetImmutable(path, false);
  }
  QVERIFY(!result.Complete);
  QCOMPARE(result.Failed.size(), refused.size());
  for (size_t i = 0; i < refused.size(); ++i) {
    QCOMPARE(result.Failed[i].Requested, refused[i]);
    QCOMPARE(std::string(std::strerror(result.Failed[i].Error)), std::string(std::strerror(error)));
    QVERIFY(Exists(refused[i]));
  }
  QCOMPARE(parvolane::TrashFailureText(result.Failed[0]),
           "cannot move '" + refused[0] + "' to the trash: " + std::strerror(error));
  QCOMPARE(result.Moved.size(), size_t{oneMovable ? 1u : 0u});
  // A trash folder made for nothing goes again; one that was there or holds something stays.
  QCOMPARE(Exists(trash), trashBefore || oneMovable);
  if (trashBefore || oneMovable) {
    const std::set<std::string> kept =
        oneMovable ? std::set<std::string>{"c.jpg"} : std::set<std::string>{};
    QCOMPARE(Names(trash + "/files"), kept);
    QCOMPARE(Names(trash + "/info").size(), kept.size());
  }
  QVERIFY(Names(home.Files()).empty());
}

void TrashTest::restoreOnAReadOnlyVolumeSaysWhy() {
  FreshDataHome home;
  LoopVolume volume;
  if (!volume.Ready()) QSKIP("mounting a volume of its own needs root and a loop device");
  const std::string file = volume.File("photos/a.jpg", "a");
  const TrashResult result = MoveToTrash({file});
  QCOMPARE(result.Moved.size(), size_t{1});
  QVERIFY(volume.RemountReadOnly());
  QCOMPARE(parvolane::RestoreFromTrash(result.Moved[0]), std::string(std::strerror(EROFS)));
  QVERIFY(Exists(result.Moved[0].TrashPath) && Exists(result.Moved[0].InfoPath));
  QVERIFY(!Exists(file));
}

QTEST_GUILESS_MAIN(TrashTest)
#include "trash_test.moc"
