// parvolane-scan: the scan engine from the command line, for scripting, tests and benchmarks.
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/json_export.h"
#include "engine/paths.h"
#include "engine/scan_driver.h"
#include "engine/scan_summary_text.h"
#include "results/csv_export.h"

namespace {

using namespace parvolane;

constexpr int kExitDone = 0;
constexpr int kExitError = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

volatile std::sig_atomic_t gInterrupted = 0;
// The running scan's stop flag, set by the handler itself: work that runs without pumping
// events (a whole-tree walk, a large file) sees it at its next check, not only at the next pump.
std::atomic<std::atomic<bool>*> gStopFlag{nullptr};

extern "C" void OnInterrupt(int) {
  gInterrupted = 1;
  if (std::atomic<bool>* flag = gStopFlag.load()) flag->store(true, std::memory_order_relaxed);
}

// Points the handler at the scan's stop flag for as long as the scan state lives.
class StopFlagForInterrupts final {
 public:
  explicit StopFlagForInterrupts(std::atomic<bool>& flag) { gStopFlag.store(&flag); }
  StopFlagForInterrupts(const StopFlagForInterrupts&) = delete;
  StopFlagForInterrupts& operator=(const StopFlagForInterrupts&) = delete;
  ~StopFlagForInterrupts() { gStopFlag.store(nullptr); }
};

bool InterruptRequested() {
  return gInterrupted != 0;
}

void PrintLine(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fputc('\n', stderr);
}

// The bytes the hashing stage has read, as a bar redrawn in place on a terminal. It is wiped
// before every other line, so that status lines stay whole and readable.
class TerminalProgress final {
 public:
  explicit TerminalProgress(bool enabled) : FEnabled(enabled) {}

  void Show(int64_t done, int64_t total) {
    if (!FEnabled) return;
    const auto now = ByteProgressMeter::Clock::now();
    const std::string text = FMeter.Text(done, total, now, ", ", LocaleDecimalSeparator());
    if (FShown && done < total && now - FLastDraw < std::chrono::milliseconds(100)) return;
    std::string line = ProgressBarLine(done, total, text);
    const size_t width = TerminalWidth();
    if (line.size() >= width) line.resize(width - 1);  // a wrapped line cannot be redrawn
    std::fprintf(stderr, "\r%s\033[K", line.c_str());
    std::fflush(stderr);
    FShown = true;
    FLastDraw = now;
  }
  void Clear() {
    if (!FShown) return;
    std::fputs("\r\033[K", stderr);
    FShown = false;
  }

 private:
  static size_t TerminalWidth() {
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col < 20) return 80;
    return size.ws_col;
  }

  bool FEnabled;
  bool FShown = false;
  ByteProgressMeter FMeter;
  ByteProgressMeter::Clock::time_point FLastDraw{};
};

const char* const kUsageHead =
    "Usage: parvolane-scan [OPTIONS] FOLDER...\n"
    "Finds duplicate files (and, on request, duplicate folder trees) below the folders.\n"
    "\n";
const char* const kUsageTail =
    "  --masks TEXT            file masks, as typed in the window (default \"*.*\")\n"
    "  --min-size-mb N         minimum file size in MB (default 1)\n"
    "  --max-groups N          largest number of groups to list, 0 = all (default 100)\n"
    "  --min-group-size N      smallest group (default 2)\n"
    "  --sequential            hash on one thread (default: parallel hashing)\n"
    "  --no-cache              neither use nor fill the hash cache of unchanged files\n"
    "  --no-file-clones        do not look for file clones (default: look)\n"
    "  --folder-clones         look for folder clones too (default: don't)\n"
    "  --collapse-nested       leave out folder groups that lie inside another listed group\n"
    "  --files-csv PATH        write the file-clone list in the CSV export format; \"-\" = stdout\n"
    "  --dirs-csv PATH         write the folder-clone list in the CSV export format\n"
    "  --json PATH             write both lists and the summary as JSON: exact sizes, device\n"
    "                          and inode, times, SHA-1; \"-\" = stdout (see parvolane-scan(1))\n"
    "  --quiet                 print no status lines, no summary and no progress bar\n"
    "  --help                  show this help and exit\n"
    "  --version               show the version and exit\n"
    "\n"
    "Status lines, then a summary (groups, files, space in extra copies, groups not\n"
    "listed, entries skipped and why) go to standard error; on a terminal a progress\n"
    "bar shows the bytes read while hashing.\n"
    "\n"
    "Exit status: 0 when the scan ran through; 1 on an error, also when a scan folder\n"
    "could not be scanned (the others are) or output could not be written; 2 for bad\n"
    "usage, also for a malformed file mask; 130 when Ctrl-C stopped the scan or an\n"
    "export.\n";

std::string UsageText() {
  return kUsageHead +
         ("  --compare " + CompareModeCliNames("|") + "   compare mode (default " +
          std::string(InfoOf(kDefaultCompareMode).CliName) + ")\n") +
         kUsageTail;
}

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Options {
  ScanSettings Settings;
  std::optional<std::string> FilesCsv;
  std::optional<std::string> DirsCsv;
  std::optional<std::string> Json;
  bool Quiet = false;
};

// Sizes and counts are never negative. Larger values than the window's fields take stay
// open to scripts, and a smallest group of 0 or 1 keeps meaning 2, as it always has.
struct WholeNumberRange {
  int32_t Min;
  int32_t Max;
};
constexpr WholeNumberRange kMinSizeMBRange{0, INT32_MAX};
constexpr WholeNumberRange kMaxGroupsRange{0, INT32_MAX};
constexpr WholeNumberRange kMinGroupSizeRange{0, INT32_MAX};

int32_t ParseWholeNumber(const std::string& option, const std::string& text,
                         WholeNumberRange range) {
  size_t used = 0;
  long long value = 0;
  try {
    value = std::stoll(text, &used, 10);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size() || value < range.Min || value > range.Max) {
    throw UsageError("invalid value for " + option + ": '" + text +
                     "' (expected a whole number from " + std::to_string(range.Min) + " to " +
                     std::to_string(range.Max) + ")");
  }
  return static_cast<int32_t>(value);
}

// "a, b, c or d"
std::string CompareModeChoices() {
  std::string choices;
  for (size_t i = 0; i < kCompareModes.size(); ++i) {
    if (i > 0) choices += i + 1 == kCompareModes.size() ? " or " : ", ";
    choices += kCompareModes[i].CliName;
  }
  return choices;
}

CompareMode ParseCompareMode(const std::string& text) {
  if (const std::optional<CompareMode> mode = CompareModeFromCliName(text)) return *mode;
  throw UsageError("invalid value for --compare: '" + text + "' (expected " + CompareModeChoices() +
                   ")");
}

void AddFolder(std::vector<std::string>& folders, const std::string& arg) {
  const std::string folder = NormalizeFolderPath(arg);
  if (folder.empty()) throw UsageError("empty folder argument");
  for (const std::string& existing : folders) {
    if (existing == folder) return;
  }
  folders.push_back(folder);
}

// A JSON document followed or preceded by CSV on the same stream would parse as neither.
void CheckJsonHasStdoutAlone(const Options& options) {
  if (options.Json != "-") return;
  if (options.FilesCsv == "-" || options.DirsCsv == "-")
    throw UsageError("--json - cannot share standard output with a CSV list");
}

Options ParseArguments(int argc, char** argv) {
  Options options;
  options.Settings.UseHashCache = true;
  bool onlyFolders = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw UsageError("option " + arg + " needs a value");
      return argv[++i];
    };
    if (onlyFolders || arg.empty() || arg[0] != '-' || arg == "-") {
      AddFolder(options.Settings.Folders, arg);
    } else if (arg == "--") {
      onlyFolders = true;
    } else if (arg == "--compare") {
      options.Settings.Mode = ParseCompareMode(value());
    } else if (arg == "--masks") {
      options.Settings.MaskText = value();
    } else if (arg == "--min-size-mb") {
      options.Settings.MinSizeMB = ParseWholeNumber(arg, value(), kMinSizeMBRange);
    } else if (arg == "--max-groups") {
      options.Settings.MaxGroups = ParseWholeNumber(arg, value(), kMaxGroupsRange);
    } else if (arg == "--min-group-size") {
      options.Settings.MinGroupSize = ParseWholeNumber(arg, value(), kMinGroupSizeRange);
    } else if (arg == "--no-cache") {
      options.Settings.UseHashCache = false;
    } else if (arg == "--sequential") {
      options.Settings.ParallelHashing = false;
    } else if (arg == "--no-file-clones") {
      options.Settings.FindFileClones = false;
    } else if (arg == "--folder-clones") {
      options.Settings.FindFolderClones = true;
    } else if (arg == "--collapse-nested") {
      options.Settings.CollapseNestedDirGroups = true;
    } else if (arg == "--files-csv") {
      options.FilesCsv = value();
    } else if (arg == "--dirs-csv") {
      options.DirsCsv = value();
    } else if (arg == "--json") {
      options.Json = value();
    } else if (arg == "--quiet") {
      options.Quiet = true;
    } else {
      throw UsageError("unknown option: " + arg);
    }
  }
  if (options.Settings.Folders.empty()) throw UsageError("no folder given");
  CheckJsonHasStdoutAlone(options);
  return options;
}

// Reports to the terminal; Ctrl-C is the Stop command, seen whenever the engine pumps events.
class ConsoleReporter final : public ScanReporter {
 public:
  ConsoleReporter(const Options& options, ScanState& state)
      : FOptions(options),
        FState(state),
        FProgress(!options.Quiet && ::isatty(STDERR_FILENO) == 1) {}
  void SetDriver(ScanDriver* driver) { FDriver = driver; }

  void ReportStatus(const std::string& text) override {
    if (!FOptions.Quiet) {
      FProgress.Clear();
      PrintLine(text);
    }
  }
  void ReportBytes(int64_t done, int64_t total) override { FProgress.Show(done, total); }
  void PumpEvents() override {
    if (gInterrupted != 0 && !FInterrupted && FDriver != nullptr) {
      FInterrupted = true;
      FDriver->RequestStop();
    }
  }
  bool IsStopRequested() const override { return FState.IsStopRequested(); }
  ScanSettings CurrentSettings() override { return FOptions.Settings; }

  bool Interrupted() const { return FInterrupted; }
  void ClearProgress() { FProgress.Clear(); }

 private:
  const Options& FOptions;
  ScanState& FState;
  TerminalProgress FProgress;
  ScanDriver* FDriver = nullptr;
  bool FInterrupted = false;
};

void WriteCsv(const ResultList& list, const std::string& target) {
  if (target == "-") {
    WriteCsvToDescriptor(list, STDOUT_FILENO, "to standard output", InterruptRequested);
  } else {
    ExportListViewToCsv(list, target, InterruptRequested);
  }
}

void WriteJson(const Options& options, const ScanState& state, const std::string& target) {
  const std::string text =
      ScanJsonText(state.lvFiles, state.lvDirs, state.Summary,
                   {options.Settings.FindFileClones, options.Settings.FindFolderClones});
  if (target == "-") {
    WriteTextToDescriptor(text, STDOUT_FILENO, "to standard output", InterruptRequested);
  } else {
    WriteTextToTarget(text, target, InterruptRequested);
  }
}

void PrintSummary(const Options& options, const ScanState& state) {
  const ScanFacts facts =
      SummarizeScan(state.lvFiles, state.lvDirs, state.Summary, options.Settings.FindFileClones,
                    options.Settings.FindFolderClones);
  for (const std::string& line : SummaryLines(facts, state.Summary, LocaleDecimalSeparator()))
    PrintLine(line);
}

// A scan folder that could not be scanned fails the run, but only after the others were.
bool ReportFolderErrors(const ScanState& state) {
  for (const std::string& error : state.Summary.FolderErrors)
    PrintLine("Error: " + error);
  return !state.Summary.FolderErrors.empty();
}

int ExportLists(const Options& options, const ScanState& state) {
  try {
    if (options.FilesCsv) WriteCsv(state.lvFiles, *options.FilesCsv);
    if (options.DirsCsv) WriteCsv(state.lvDirs, *options.DirsCsv);
    if (options.Json) WriteJson(options, state, *options.Json);
  } catch (const ExportInterrupted&) {
    return kExitInterrupted;
  } catch (const std::exception& e) {
    PrintLine(std::string("Error: ") + e.what());
    return kExitError;
  }
  return kExitDone;
}

void CatchInterrupt() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  action.sa_flags = static_cast<int>(SA_RESETHAND);  // a second Ctrl-C ends the program at once
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
}

// Stopped means now: the system takes back the records of a large scan at once, where
// releasing them one by one would keep the user waiting for a second.
[[noreturn]] void ExitInterrupted() {
  std::fflush(nullptr);
  std::_Exit(kExitInterrupted);
}

int Run(const Options& options) {
  ScanState state;
  state.ReleaseRecordsOnceListed = true;  // the lists are all that is written
  ConsoleReporter reporter(options, state);
  ScanDriver driver(state, reporter);
  reporter.SetDriver(&driver);
  const StopFlagForInterrupts interrupts(state.FStopRequested);
  CatchInterrupt();

  driver.btnScanClick();
  reporter.ClearProgress();
  if (const std::optional<std::string> message = driver.OutcomeMessage()) PrintLine(*message);
  switch (driver.LastOutcome()) {
    case ScanOutcome::InvalidMask:
      return kExitUsage;
    case ScanOutcome::Failed:
      return kExitError;
    case ScanOutcome::Stopped:
      ExitInterrupted();
    default:
      break;
  }
  if (!options.Quiet) PrintSummary(options, state);
  if (InterruptRequested()) ExitInterrupted();
  const bool folderFailed = ReportFolderErrors(state);
  const int exported = ExportLists(options, state);
  if (exported == kExitInterrupted || reporter.Interrupted() || InterruptRequested()) {
    ExitInterrupted();
  }
  if (exported != kExitDone) return exported;
  return folderFailed ? kExitError : kExitDone;
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--") == 0) break;
    if (std::strcmp(argv[i], "--help") == 0) {
      std::fputs(UsageText().c_str(), stdout);
      return kExitDone;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("parvolane-scan %s\n", PARVOLANE_VERSION_TEXT);
      return kExitDone;
    }
  }
  Options options;
  try {
    options = ParseArguments(argc, argv);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "parvolane-scan: %s\n\n%s", e.what(), UsageText().c_str());
    return kExitUsage;
  }
  return Run(options);
}
