#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "engine/scan_driver.h"
#include "engine/scan_reporter.h"
#include "engine/scan_state.h"

namespace parvolane::testing {

/// A ScanReporter that remembers everything the engine tells it. A test can request the stop
/// from inside PumpEvents, the way the Stop button does in the window.
class RecordingReporter final : public ScanReporter {
 public:
  explicit RecordingReporter(ScanState& state) : FState(state) {}

  void ReportStatus(const std::string& text) override { Statuses.push_back(text); }
  void SetProgressRange(int32_t min, int32_t max) override {
    RangeMin = min;
    RangeMax = max;
  }
  void SetProgressPosition(int32_t position) override {
    Position = position;
    Positions.push_back(position);
  }
  void SetProgressMarquee(bool marquee) override { Marquee = marquee; }
  void PumpEvents() override {
    ++Pumps;
    if (OnPump) OnPump();
  }
  bool IsStopRequested() const override {
    const int query = StopQueries.fetch_add(1, std::memory_order_relaxed) + 1;
    if (StopAtQuery > 0 && query >= StopAtQuery) FState.FStopRequested.store(true);
    return FState.IsStopRequested();
  }
  ScanSettings CurrentSettings() override { return Settings; }

  /// Sets the stop flag as the Stop command would (without its status text).
  void Stop() { FState.FStopRequested.store(true); }
  /// Texts that begin with `prefix`, in order.
  std::vector<std::string> StatusesStartingWith(const std::string& prefix) const;
  std::string LastStatus() const { return Statuses.empty() ? std::string() : Statuses.back(); }

  ScanSettings Settings;
  std::function<void()> OnPump;
  std::vector<std::string> Statuses;
  std::vector<int32_t> Positions;
  int32_t RangeMin = 0;
  int32_t RangeMax = 100;
  int32_t Position = 0;
  bool Marquee = false;
  int Pumps = 0;
  /// How often the stop flag was asked for; when StopAtQuery is above 0, the flag is set at
  /// that query, as if Stop had been pressed while the stage ran (from any thread).
  mutable std::atomic<int> StopQueries{0};
  int StopAtQuery = 0;

 private:
  ScanState& FState;
};

/// Paths of the records in FFiles, in order.
std::vector<std::string> CollectedPaths(const ScanState& state);

}  // namespace parvolane::testing
