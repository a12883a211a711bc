#pragma once

#include <string>

#include "results/result_list.h"

namespace parvolane {

/// Writes every row of the list as CSV: UTF-8 with a byte-order mark, CR LF after every line,
/// an unquoted header of the column captions, every cell quoted with quotes doubled.
/// The file is written beside the target under a temporary name and renamed over it at the
/// end, so a failure never leaves a half-written file or destroys the previous one.
/// Errors: std::system_error carrying the path and the system's message.
void ExportListViewToCsv(const ResultList& list, const std::string& fileName);

/// The CSV text itself (what ExportListViewToCsv writes), for writing to a stream.
std::string ListViewCsvText(const ResultList& list);

}  // namespace parvolane
