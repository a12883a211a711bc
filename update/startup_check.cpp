// Placeholder until the update check lands: no new version is ever announced.
#include "update/startup_check.h"

namespace parvolane {
bool RunStartupUpdateCheck() {
  return true;
}
}  // namespace parvolane
