#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <thread>

#include "engine/scan_reporter.h"
#include "engine/scan_state.h"

namespace parvolane {

/// Size of the blocks in which file contents are read for hashing.
inline constexpr size_t kHashReadBlockSize = 256 * 1024;

/// Size of the first and the last block by which files of one size are compared before any of
/// them is read in full.
inline constexpr size_t kEdgeBlockSize = 4096;

/// Files of at least this size (more than one edge block) are first compared by their first and
/// last blocks with the other files of their size; one that no other file matches there is not
/// hashed (it has no twin). Smaller files are read whole at once.
inline constexpr int64_t kFirstBlockCheckFrom = static_cast<int64_t>(kEdgeBlockSize) + 1;

/// SHA-1 of a file's whole content as 40 lower-case hexadecimal digits; empty when no file
/// exists at the path. Errors: std::system_error when the file exists but cannot be opened or
/// read, or is not a regular file.
std::string HashFileSHA1(const std::string& path);

/// The same, reading through the caller's buffer (any size above 0), so that hashing many
/// files reuses one buffer per thread.
std::string HashFileSHA1(const std::string& path, std::span<std::byte> buffer);

/// Fills ContentHash of every record whose size occurs at least twice (but for the files that
/// their first or last block sets apart, see kFirstBlockCheckFrom), on the calling thread or on one
/// worker per processor; files that cannot be read keep an empty hash and are counted in
/// state.Summary.Skipped. A stop is seen within one read block. Errors: what is not a failure
/// of one file (out of memory among them) ends the stage, also when a worker met it.
/// Threading: workers never outlive the call.
void ComputeAllHashes(ScanState& state, ScanReporter& reporter);

/// Starts one worker thread of parallel hashing. Errors: std::system_error when the system
/// cannot make another thread; the stage then hashes with the workers it has, or on the
/// calling thread when it has none.
using WorkerStarter = std::function<std::jthread(std::function<void()>)>;

/// The same with a given number of workers for parallel hashing (at least one is used),
/// started by `startWorker` (std::jthread's constructor when empty).
void ComputeAllHashes(ScanState& state, ScanReporter& reporter, unsigned workerCount,
                      const WorkerStarter& startWorker = {});

}  // namespace parvolane
