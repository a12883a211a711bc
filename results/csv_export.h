#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "results/result_list.h"

namespace parvolane {

/// Asked between writes (and when a signal broke one): true ends the export.
using StopCheck = std::function<bool()>;

/// The export ended because StopCheck said so; nothing of it was committed.
struct ExportInterrupted : std::runtime_error {
  ExportInterrupted() : std::runtime_error("the export was interrupted") {}
};

/// Writes every row of the list as CSV: UTF-8 with a byte-order mark, CR LF after every line,
/// an unquoted header of the column captions, every cell quoted with quotes doubled.
/// A regular file is written beside the target under a temporary name and renamed over it at
/// the end, so a failure never leaves a half-written file or destroys the previous one. A
/// device or a pipe is written into; a pipe that no program reads is refused at once. A
/// symbolic link is written through (the file it names is replaced), except a link in a
/// sticky, world-writable folder that belongs neither to the user nor to the folder's owner.
/// Errors: std::system_error carrying the path and the system's message; std::runtime_error
/// naming the path for a refused target; ExportInterrupted.
void ExportListViewToCsv(const ResultList& list, const std::string& fileName,
                         const StopCheck& stopRequested = {});

/// Writes the CSV text to an open descriptor (standard output), going on after a signal
/// unless StopCheck says to stop. Errors: std::system_error "cannot write <shownName>: ...";
/// ExportInterrupted.
void WriteCsvToDescriptor(const ResultList& list, int fd, const std::string& shownName,
                          const StopCheck& stopRequested = {});

/// The CSV text itself (what ExportListViewToCsv writes), for writing to a stream.
std::string ListViewCsvText(const ResultList& list);

/// Writes any text to a file the way ExportListViewToCsv writes its CSV (a regular file through
/// a temporary beside it, a device or pipe in place, links as described there). Errors: as
/// ExportListViewToCsv.
void WriteTextToTarget(std::string_view text, const std::string& fileName,
                       const StopCheck& stopRequested = {});

/// Writes any text to an open descriptor as WriteCsvToDescriptor does. Errors: as there.
void WriteTextToDescriptor(std::string_view text, int fd, const std::string& shownName,
                           const StopCheck& stopRequested = {});

}  // namespace parvolane
