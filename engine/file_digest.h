#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "engine/file_info.h"
#include "platform/posix/unique_fd.h"

namespace parvolane {

/// Reading and digesting single files for the hashing stage.

using ReadBuffer = std::vector<std::byte>;

/// An open file descriptor, closed when it goes.
using FileDescriptor = UniqueFd;

/// Thrown when the stage gives up on a file half read; the record keeps an empty hash.
struct HashingAbandoned final : std::exception {
  const char* what() const noexcept override { return "hashing abandoned"; }
};

/// Opens nothing but a regular file, and never waits (a FIFO or a device put in a file's place
/// is refused). Not open when no file exists at the path. `advice` is a posix_fadvise advice.
/// Errors: std::system_error.
FileDescriptor OpenRegularFile(const std::string& path, int advice);

/// Reads until the buffer is full or the file ends; the bytes read.
/// Errors: std::system_error.
size_t ReadFull(int fd, std::span<std::byte> buffer, const std::string& path);

/// SHA-1 of the bytes as 40 lower-case hexadecimal digits.
std::string Sha1Hex(std::string_view bytes);

/// SHA-1 of the whole file as 40 lower-case hexadecimal digits, empty when no file exists.
/// `abandon` gives up between two blocks. Errors: std::system_error, HashingAbandoned.
std::string HashFile(const std::string& path, std::span<std::byte> buffer,
                     const std::stop_token& abandon);

/// A digest of the record's first and last blocks (not a cryptographic one); nothing when the
/// file cannot be read.
std::optional<size_t> EdgeBlocksSignature(const TFileInfo& record, std::span<std::byte> buffer);
/// The same for a file opened already.
std::optional<size_t> EdgeBlocksSignatureOf(const FileDescriptor& file, const TFileInfo& record,
                                            std::span<std::byte> buffer);
/// The same for several records at once, into `signatures` (as many as records); the reads are
/// announced to the kernel together first, which matters on a cold disk.
void EdgeBlocksSignatures(std::span<TFileInfo* const> records, std::span<std::byte> buffer,
                          std::span<std::optional<size_t>> signatures);

/// SHA-1 of the first file that can be read, and of every other whose bytes all equal it;
/// those are read side by side with it, and only the first is digested. The result holds one
/// text per path: the digest, or nothing for a file that differs or cannot be read.
/// Errors: HashingAbandoned.
std::vector<std::optional<std::string>> HashAlike(const std::vector<const std::string*>& paths,
                                                  std::span<std::byte> firstBuffer,
                                                  std::span<std::byte> otherBuffer,
                                                  const std::stop_token& abandon);

}  // namespace parvolane
