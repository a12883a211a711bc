// Where the installer is saved: a private folder of the user, never a shared one.

#include <sys/stat.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <QTest>
#include <fstream>

#include "file_checks.h"
#include "update/installer_file.h"
#include "update/update_error.h"

using parvolane::InstallerFile;
using parvolane::PrivateFolder;
using parvolane::UpdateError;
using parvolane::testing::PermissionsOf;

namespace {

/// Sets or clears an environment variable for the life of the object.
class ScopedEnv final {
 public:
  ScopedEnv(const char* name, const std::string& value) : FName(name), FOld(qgetenv(name)) {
    FHad = qEnvironmentVariableIsSet(name);
    if (value.empty()) {
      qunsetenv(name);
    } else {
      qputenv(name, QByteArray::fromStdString(value));
    }
  }
  ~ScopedEnv() {
    if (FHad) {
      qputenv(FName, FOld);
    } else {
      qunsetenv(FName);
    }
  }

 private:
  const char* FName;
  QByteArray FOld;
  bool FHad = false;
};

class ScopedUmask final {
 public:
  explicit ScopedUmask(mode_t mask) : FOld(umask(mask)) {}
  ~ScopedUmask() { umask(FOld); }

 private:
  mode_t FOld;
};

}  // namespace

class InstallerFileTest : public QObject {
  Q_OBJECT

 private slots:
  void choosesAPrivateFolder_data() {
    QTest::addColumn<bool>("runtimeDir");
    QTest::addColumn<QString>("cacheHome");
    QTest::addColumn<QString>("expected");
    QTest::newRow("runtime folder") << true << "cache"
                                    << "runtime/parvolane";
    QTest::newRow("cache home when there is no runtime folder") << false << "new/cache"
                                                                << "new/cache/parvolane";
    QTest::newRow("~/.cache when neither is set") << false << ""
                                                  << "home/.cache/parvolane";
  }

  void choosesAPrivateFolder() {
    QFETCH(bool, runtimeDir);
    QFETCH(QString, cacheHome);
    QFETCH(QString, expected);
    QTemporaryDir root;
    const std::string base = root.path().toStdString() + "/";
    QCOMPARE(mkdir((base + "runtime").c_str(), 0700), 0);
    QCOMPARE(mkdir((base + "home").c_str(), 0700), 0);
    const ScopedEnv runtime("XDG_RUNTIME_DIR", runtimeDir ? base + "runtime" : "");
    const ScopedEnv cache("XDG_CACHE_HOME",
                          cacheHome.isEmpty() ? "" : base + cacheHome.toStdString());
    const ScopedEnv home("HOME", base + "home");
    // A umask that would leave the owner without write access must not matter.
    const ScopedUmask mask(0277);

    const PrivateFolder folder = PrivateFolder::Open();
    QCOMPARE(folder.Path(), base + expected.toStdString());
    QCOMPARE(PermissionsOf(folder.Path()), mode_t(0700));
    InstallerFile file(folder, "orv_update.exe");
    file.Write("data");
    file.Close();
    QCOMPARE(PermissionsOf(folder.Path() + "/orv_update.exe"), mode_t(0600));
    QVERIFY(file.StillThere());
    file.Keep();
    QCOMPARE(PermissionsOf(folder.Path() + "/orv_update.exe"), mode_t(0700));
  }

  // Only a file found whole is kept, and only then may it run; nothing else of ours stays.
  void onlyAKeptFileStaysBehind_data() {
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("keepSucceeds");
    QTest::addColumn<mode_t>("leftBehind");
    QTest::newRow("not kept") << "" << false << mode_t(0);
    QTest::newRow("kept") << "keep" << true << mode_t(0700);
    QTest::newRow("truncated before keeping") << "truncate" << false << mode_t(0);
    QTest::newRow("grown before keeping") << "append" << false << mode_t(0);
  }

  void onlyAKeptFileStaysBehind() {
    QFETCH(QString, change);
    QFETCH(bool, keepSucceeds);
    QFETCH(mode_t, leftBehind);
    QTemporaryDir root;
    const ScopedEnv env("XDG_RUNTIME_DIR", root.path().toStdString());
    const PrivateFolder folder = PrivateFolder::Open();
    const std::string path = folder.Path() + "/orv_update.exe";
    {
      InstallerFile file(folder, "orv_update.exe");
      file.Write("installer");
      file.Close();
      if (change == "truncate") QCOMPARE(truncate(path.c_str(), 4), 0);
      if (change == "append") std::ofstream(path, std::ios::app) << "more";
      if (!change.isEmpty()) {
        bool kept = true;
        try {
          file.Keep();
        } catch (const UpdateError&) {
          kept = false;
        }
        QCOMPARE(kept, keepSucceeds);
      }
    }
    QCOMPARE(PermissionsOf(path), leftBehind);
  }

  void refusesAFolderThatIsNotPrivate_data() {
    QTest::addColumn<QString>("planted");
    QTest::newRow("open to others") << "mode 0755";
    QTest::newRow("readable by the group") << "mode 0750";
    QTest::newRow("a link to a private folder") << "link";
    QTest::newRow("a file") << "file";
    QTest::newRow("another user's folder") << "owner";
  }

  void refusesAFolderThatIsNotPrivate() {
    QFETCH(QString, planted);
    QTemporaryDir root;
    const std::string runtime = root.path().toStdString();
    const std::string folder = runtime + "/parvolane";
    const std::string elsewhere = runtime + "/elsewhere";
    QCOMPARE(mkdir(elsewhere.c_str(), 0700), 0);
    if (planted == "owner") {
      if (geteuid() != 0) QSKIP("needs root to give a folder away");
      QCOMPARE(mkdir(folder.c_str(), 0700), 0);
      QCOMPARE(chown(folder.c_str(), 65534, 65534), 0);
    } else if (planted == "link") {
      QCOMPARE(symlink(elsewhere.c_str(), folder.c_str()), 0);
    } else if (planted == "file") {
      std::ofstream(folder) << "x";
    } else {
      QCOMPARE(mkdir(folder.c_str(), 0700), 0);
      QCOMPARE(chmod(folder.c_str(), planted == "mode 0755" ? 0755 : 0750), 0);
    }
    const ScopedEnv env("XDG_RUNTIME_DIR", runtime);
    QVERIFY_THROWS_EXCEPTION(UpdateError, PrivateFolder::Open());
    QVERIFY(!QFile::exists(QString::fromStdString(elsewhere + "/orv_update.exe")));
  }

  void refusesAPlantedLinkInsteadOfTheFile() {
    QTemporaryDir root;
    const ScopedEnv env("XDG_RUNTIME_DIR", root.path().toStdString());
    const PrivateFolder folder = PrivateFolder::Open();
    const std::string target = root.path().toStdString() + "/target";
    std::ofstream(target) << "keep";
    QCOMPARE(symlink(target.c_str(), (folder.Path() + "/orv_update.exe").c_str()), 0);
    QVERIFY_THROWS_EXCEPTION(UpdateError, InstallerFile(folder, "orv_update.exe"));
    QCOMPARE(QFileInfo(QString::fromStdString(target)).size(), qint64(4));
  }

  void aReplacedFileIsNotTheDownloadedOne() {
    QTemporaryDir root;
    const ScopedEnv env("XDG_RUNTIME_DIR", root.path().toStdString());
    const PrivateFolder folder = PrivateFolder::Open();
    const std::string path = folder.Path() + "/orv_update.exe";
    {
      InstallerFile file(folder, "orv_update.exe");
      file.Write("installer");
      file.Close();
      // Kept alive elsewhere, so that the replacement cannot reuse its inode.
      QCOMPARE(link(path.c_str(), (path + ".kept").c_str()), 0);
      QCOMPARE(std::remove(path.c_str()), 0);
      std::ofstream(path) << "something else";
      QVERIFY(!file.StillThere());
      QVERIFY_THROWS_EXCEPTION(UpdateError, file.Keep());
    }
    // Neither started nor removed: it is not the file that was downloaded.
    QCOMPARE(parvolane::testing::ReadWholeFile(path), std::string("something else"));
    QVERIFY((PermissionsOf(path) & 0111) == 0);
  }
};

QTEST_APPLESS_MAIN(InstallerFileTest)
#include "installer_file_test.moc"
