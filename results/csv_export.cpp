// Placeholder until the CSV writer lands.
#include "results/csv_export.h"

namespace parvolane {
void ExportListViewToCsv(const ResultList&, const std::string&) {}
std::string ListViewCsvText(const ResultList&) {
  return {};
}
}  // namespace parvolane
