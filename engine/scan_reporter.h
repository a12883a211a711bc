#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "engine/scan_settings.h"

namespace parvolane {

/// What the scan engine's stages need from their front end: status, progress, event pumping,
/// the stop flag and the current options. The engine never prints or draws by itself, and what
/// a front end does around a whole scan (its cursor, its Stop command, its message boxes) stays
/// with the front end. Only the four pure operations must be given; a front end without a
/// progress indicator leaves the others as they are.
///
/// Threading: every operation but IsStopRequested is called on the thread that runs the scan
/// (the user-interface thread of the window); IsStopRequested may be called from any thread.
class ScanReporter {
 public:
  virtual ~ScanReporter() = default;

  /// Replaces the status line; pumps no events.
  virtual void ReportStatus(const std::string& text) = 0;
  /// Handles every pending user-interface event; commands (Stop among them) run inside.
  virtual void PumpEvents() = 0;
  /// The stop flag; callable from any thread.
  virtual bool IsStopRequested() const = 0;
  /// The options as the controls hold them at the moment of the call.
  virtual ScanSettings CurrentSettings() = 0;

  /// The range of the progress indicator; every stage passes 0 as `min`.
  virtual void SetProgressRange(int32_t min, int32_t max) {
    (void)min;
    (void)max;
  }
  /// The position of the progress indicator within its range.
  virtual void SetProgressPosition(int32_t position) { (void)position; }
  /// Switches the progress indicator to marquee (busy) or normal mode; pumps no events.
  virtual void SetProgressMarquee(bool marquee) { (void)marquee; }
  /// Bytes read so far of the bytes the hashing stage has to read; a front end may show them
  /// beside the status texts, with throughput and time left.
  virtual void ReportBytes(int64_t done, int64_t total) {
    (void)done;
    (void)total;
  }
  /// Runs one long operation that pumps no events of its own (a whole-tree walk). The default
  /// runs it in place; a window runs it on a helper thread and keeps handling events until it
  /// has finished. Exceptions thrown by the work reach the caller.
  virtual void RunBlocking(const std::function<void()>& work) { work(); }

  /// The marquee switch followed by PumpEvents, the way the stages enter and leave a step
  /// whose length is unknown.
  void SetBusy(bool busy) {
    SetProgressMarquee(busy);
    PumpEvents();
  }
};

}  // namespace parvolane
