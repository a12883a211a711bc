#pragma once

#include <string>

#include "engine/scan_reporter.h"
#include "engine/scan_state.h"

namespace parvolane {

/// SHA-1 of a file's whole content as 40 lower-case hexadecimal digits; empty when no file
/// exists at the path. Errors: std::system_error when the file exists but cannot be opened or
/// read, or is not a regular file.
std::string HashFileSHA1(const std::string& path);

/// Fills ContentHash of every record whose size occurs at least twice, on the calling thread
/// or on one worker per processor. Threading: workers never outlive the call.
void ComputeAllHashes(ScanState& state, ScanReporter& reporter);

}  // namespace parvolane
