// Window benchmarks. Every figure is printed next to a baseline measured in the same run, since
// the machine is shared and absolute times drift.
//
//   ui_bench latency [TREE]  the longest gap between two handled events (a 1 ms timer) during a
//                            content scan of a folder of 200,000 files, next to the time of one
//                            walk of that folder (what a walk on the user-interface thread
//                            would block) and the longest gap while idle
//   ui_bench listing         listing 100,000 groups of 3 files into a shown view, next to
//                            building the same result list without a view
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QListWidget>
#include <QRegularExpression>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/clone_rows.h"
#include "engine/folder_scan.h"
#include "engine/scan_state.h"
#include "results/result_list.h"
#include "ui/main_form.h"
#include "ui/result_model.h"
#include "ui/result_view.h"
#include "ui/spin_field.h"

namespace {

using namespace parvolane;
using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// --- latency --------------------------------------------------------------------------------

constexpr int kLatencyFiles = 200000;
constexpr int kDistinctContents = 50000;  // every content four times: real groups to list

void WriteFile(const std::string& path, int k) {
  // Sizes repeat, so that every file has a same-size partner and gets hashed.
  std::string content(static_cast<size_t>(16 + k % 500), '\0');
  for (size_t i = 0; i < content.size(); ++i)
    content[i] = static_cast<char>((k * 131 + static_cast<int>(i) * 7) & 0xff);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot create " + path);
  const ssize_t written = ::write(fd, content.data(), content.size());
  ::close(fd);
  if (written != static_cast<ssize_t>(content.size())) throw std::runtime_error("short write");
}

void EnsureLatencyTree(const std::string& root) {
  const std::string done = root + "/.complete";
  if (std::filesystem::exists(done)) return;
  std::fprintf(stderr, "making %s (%d files in one folder) ...\n", root.c_str(), kLatencyFiles);
  std::filesystem::create_directories(root + "/big");
  for (int i = 0; i < kLatencyFiles; ++i)
    WriteFile(root + "/big/file-" + std::to_string(i) + ".dat", i % kDistinctContents);
  WriteFile(done, 0);
}

// Records the gaps between the ticks of a 1 ms timer on the user-interface thread, each with
// the status phase in which it began and the one in which it ended.
class GapRecorder final : public QObject {
 public:
  struct Gap {
    double Ms;
    QString From;
    QString To;
  };

  GapRecorder() {
    FTimer.setTimerType(Qt::PreciseTimer);
    FTimer.setInterval(1);
    QObject::connect(&FTimer, &QTimer::timeout, this, [this] { Tick(); });
  }
  void Start() {
    FGaps.clear();
    FLast = Clock::now();
    FLastPhase = FPhase;
    FTimer.start();
  }
  void Stop() { FTimer.stop(); }
  void SetPhase(const QString& phase) { FPhase = phase; }
  double Max() const { return FGaps.empty() ? 0 : Sorted().back().Ms; }
  double Percentile(double p) const {
    if (FGaps.empty()) return 0;
    const std::vector<Gap> g = Sorted();
    return g[std::min(g.size() - 1, static_cast<size_t>(p * static_cast<double>(g.size())))].Ms;
  }
  size_t Ticks() const { return FGaps.size(); }
  /// The n longest gaps, longest first.
  std::vector<Gap> Longest(size_t n) const {
    std::vector<Gap> g = Sorted();
    std::reverse(g.begin(), g.end());
    g.resize(std::min(n, g.size()));
    return g;
  }

 private:
  std::vector<Gap> Sorted() const {
    std::vector<Gap> g = FGaps;
    std::sort(g.begin(), g.end(), [](const Gap& l, const Gap& r) { return l.Ms < r.Ms; });
    return g;
  }
  void Tick() {
    const auto now = Clock::now();
    FGaps.push_back(
        {std::chrono::duration<double, std::milli>(now - FLast).count(), FLastPhase, FPhase});
    FLast = now;
    FLastPhase = FPhase;
  }

  QTimer FTimer;
  Clock::time_point FLast;
  std::vector<Gap> FGaps;
  QString FPhase;
  QString FLastPhase;
};

QString PhaseOf(const QString& status) {
  // The status texts without their counters and paths.
  const qsizetype cut = status.indexOf(QRegularExpression(QStringLiteral("[:(]|\\s\\d")));
  return (cut < 0 ? status : status.left(cut)).trimmed();
}

int Latency(const std::string& root) {
  EnsureLatencyTree(root);
  const std::string folder = root + "/big";

  // Baseline 1: one walk of the folder on its own (warm cache) — what the user-interface
  // thread would be blocked for if the walk ran on it.
  WalkFolder(folder, "*.*");
  std::vector<double> walks;
  for (int i = 0; i < 3; ++i) {
    const auto start = Clock::now();
    const size_t n = WalkFolder(folder, "*.*").size();
    walks.push_back(MsSince(start));
    if (n != kLatencyFiles) std::fprintf(stderr, "warning: walk found %zu files\n", n);
  }

  GapRecorder gaps;
  // Baseline 2: the timer's own jitter while nothing runs.
  gaps.Start();
  const auto idleStart = Clock::now();
  while (MsSince(idleStart) < 2000)
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  gaps.Stop();
  const double idleMax = gaps.Max();

  TMainForm form;
  form.show();
  auto* item = new QListWidgetItem(QString::fromStdString(folder + "/"), form.lbFolders);
  item->setData(Qt::UserRole, QByteArray::fromStdString(folder + "/"));
  form.seMinSizeMB->SetValue(0);
  QObject::connect(&form, &TMainForm::statusReported, &gaps,
                   [&gaps](const QString& s) { gaps.SetPhase(PhaseOf(s)); });
  QCoreApplication::processEvents();

  gaps.Start();
  const auto scanStart = Clock::now();
  form.btnScanClick();
  const double scanMs = MsSince(scanStart);
  gaps.Stop();

  std::printf("files: %d in one folder; content scan from the window: %.0f ms, final status '%s'\n",
              kLatencyFiles, scanMs, qPrintable(form.lblStatus->text()));
  std::printf("file groups listed: %zu, records: %zu\n", form.State().lvFiles.Groups().size(),
              form.State().FFiles.size());
  std::printf(
      "longest gap between handled events during the scan: %.1f ms (p99 %.1f ms, "
      "p99.9 %.1f ms, %zu ticks); the longest five:\n",
      gaps.Max(), gaps.Percentile(0.99), gaps.Percentile(0.999), gaps.Ticks());
  for (const GapRecorder::Gap& gap : gaps.Longest(5)) {
    std::printf("  %7.1f ms  from status '%s' to '%s'\n", gap.Ms, qPrintable(gap.From),
                qPrintable(gap.To));
  }
  std::printf(
      "baseline: one walk of the folder alone: %.1f ms (median of 3); idle timer gap: "
      "%.1f ms\n",
      Median(walks), idleMax);
  std::printf("ratio longest gap / walk: %.3f\n", gaps.Max() / Median(walks));
  return 0;
}

// --- listing --------------------------------------------------------------------------------

constexpr int kGroups = 100000;
constexpr int kPerGroup = 3;

TFileList MakeRecords() {
  TFileList files;
  files.reserve(kGroups * kPerGroup);
  for (int g = 0; g < kGroups; ++g) {
    for (int m = 0; m < kPerGroup; ++m) {
      files.push_back(std::make_unique<TFileInfo>("/home/user/Pictures/" +
                                                      std::to_string(2000 + m * 7 + g % 300) +
                                                      "/holiday/IMG_" + std::to_string(g) + ".jpg",
                                                  1000000 + g));
    }
  }
  return files;
}

void ListAll(ResultList& list, const TFileList& files) {
  bool saved = true;
  BeginListUpdate(list, saved);
  list.ClearRows();
  ClearListGroups(list);
  int groupNo = 1;
  std::vector<TFileInfo*> members(kPerGroup);
  for (int g = 0; g < kGroups; ++g) {
    for (int m = 0; m < kPerGroup; ++m)
      members[static_cast<size_t>(m)] = files[static_cast<size_t>(g * kPerGroup + m)].get();
    AddFileGroupToList(list, members, int64_t{kPerGroup} * (1000000 + g), groupNo);
  }
  EndListUpdate(list, saved);
}

double TimeListingAlone(const TFileList& files) {
  ResultList list(FileListColumns());
  const auto start = Clock::now();
  ListAll(list, files);
  return MsSince(start);
}

struct ShownTimes {
  double Listing;   // listing with the model and the shown view attached, up to the repaint
  double CheckAll;  // "Check all" on the listed rows, up to the repaint
};

ShownTimes TimeListingShown(const TFileList& files) {
  ResultList list(FileListColumns());
  ResultView view;
  ResultModel model(list);
  view.SetResultModel(&model);
  view.resize(1178, 498);
  view.show();
  QCoreApplication::processEvents();

  ShownTimes t{};
  auto start = Clock::now();
  ListAll(list, files);
  QCoreApplication::processEvents();  // the view lays out the new rows
  view.viewport()->repaint();
  t.Listing = MsSince(start);
  if (model.rowCount() != kGroups * (kPerGroup + 1)) std::fprintf(stderr, "wrong line count\n");

  start = Clock::now();
  CheckAll(list);
  QCoreApplication::processEvents();
  view.viewport()->repaint();
  t.CheckAll = MsSince(start);
  return t;
}

int Listing() {
  const TFileList files = MakeRecords();
  TimeListingAlone(files);  // warm-up
  std::vector<double> alone;
  std::vector<double> shown;
  std::vector<double> checks;
  std::vector<double> checksAlone;
  for (int i = 0; i < 5; ++i) {
    alone.push_back(TimeListingAlone(files));
    const ShownTimes t = TimeListingShown(files);
    shown.push_back(t.Listing);
    checks.push_back(t.CheckAll);
    ResultList list(FileListColumns());
    ListAll(list, files);
    const auto start = Clock::now();
    CheckAll(list);
    checksAlone.push_back(MsSince(start));
  }
  std::printf("%d groups of %d files (%d rows), median of 5\n", kGroups, kPerGroup,
              kGroups * kPerGroup);
  std::printf("baseline: building the result list alone: %.1f ms\n", Median(alone));
  std::printf("listing into the shown view, up to its repaint: %.1f ms (ratio %.2f)\n",
              Median(shown), Median(shown) / Median(alone));
  std::printf("\"Check all\": list alone %.1f ms, with the shown view %.1f ms\n",
              Median(checksAlone), Median(checks));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "latency") {
    return Latency(argc > 2 ? argv[2] : "/tmp/parvolane-ui-latency-tree");
  }
  if (mode == "listing") return Listing();
  std::fprintf(stderr, "usage: ui_bench latency [TREE] | ui_bench listing\n");
  return 2;
}
