#pragma once

#include <string>
#include <string_view>

namespace parvolane {

/// The path percent-encoded the way a file URL carries it: '/' and the unreserved ASCII
/// characters stay, every other byte becomes %XX (upper-case hex). Works on bytes, so a name
/// that is not valid UTF-8 survives the trip.
std::string PercentEncodePath(std::string_view path);

/// "file://" followed by the percent-encoded absolute path.
std::string FileUrlOfPath(std::string_view path);

}  // namespace parvolane
