#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "engine/scan_settings.h"

namespace parvolane {

/// Everything the scan engine needs from its front end: status, progress, event pumping, the
/// stop flag and the current options. The engine never prints or draws by itself.
///
/// Threading: every operation but IsStopRequested is called on the thread that runs the scan
/// (the user-interface thread of the window); IsStopRequested may be called from any thread.
class ScanReporter {
 public:
  virtual ~ScanReporter() = default;

  /// Replaces the status line; pumps no events.
  virtual void ReportStatus(const std::string& text) = 0;
  virtual void SetProgressRange(int32_t min, int32_t max) = 0;
  virtual void SetProgressPosition(int32_t position) = 0;
  /// Switches the progress indicator to marquee (busy) or normal mode, then pumps events.
  virtual void SetBusy(bool busy) = 0;
  /// The mode switch of SetBusy without the event pumping.
  virtual void SetProgressMarquee(bool marquee) = 0;
  /// Bytes read so far of the bytes the hashing stage has to read; a front end may show them
  /// beside the status texts, with throughput and time left. Called on the scan's thread.
  virtual void ReportBytes(int64_t done, int64_t total) {
    (void)done;
    (void)total;
  }
  /// Handles every pending user-interface event; commands (Stop among them) run inside.
  virtual void PumpEvents() = 0;
  /// The stop flag; callable from any thread.
  virtual bool IsStopRequested() const = 0;
  virtual void ShowMessage(const std::string& text) = 0;
  virtual void SetBusyCursor(bool on) = 0;
  virtual void SetStopEnabled(bool on) = 0;
  /// The options as the controls hold them at the moment of the call.
  virtual ScanSettings CurrentSettings() = 0;

  /// Runs one long operation that pumps no events of its own (a whole-tree walk). The default
  /// runs it in place; a window runs it on a helper thread and keeps handling events until it
  /// has finished. Exceptions thrown by the work reach the caller.
  virtual void RunBlocking(const std::function<void()>& work) { work(); }
};

}  // namespace parvolane
