#include "engine/file_digest.h"

#include "engine/hashing.h"
#include "platform/posix/long_path.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string_view>

namespace parvolane {

namespace {

struct DigestContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextFree>;

std::system_error FileError(int error, std::string_view operation, const std::string& path) {
  return std::system_error(error, std::generic_category(),
                           "cannot " + std::string(operation) + " '" + path + "'");
}

void RequireDigestStep(int result) {
  if (result != 1) throw std::runtime_error("SHA-1 digest failed");
}

// One read into the buffer: the number of bytes, 0 at the end of the file.
size_t ReadSome(int fd, std::span<std::byte> buffer, const std::string& path) {
  for (;;) {
    const ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got >= 0) return static_cast<size_t>(got);
    if (errno != EINTR) throw FileError(errno, "read", path);
  }
}

std::string HexText(const unsigned char* bytes, unsigned count) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text(size_t{count} * 2, '\0');
  for (unsigned i = 0; i < count; ++i) {
    text[2 * i] = kDigits[bytes[i] >> 4];
    text[2 * i + 1] = kDigits[bytes[i] & 0x0F];
  }
  return text;
}

// Fills the block with the file's bytes from `offset` on, as far as the file reaches.
std::span<std::byte> ReadBlockAt(int fd, std::span<std::byte> block, int64_t offset,
                                 const std::string& path) {
  size_t filled = 0;
  while (filled < block.size()) {
    const ssize_t got = ::pread(fd, block.data() + filled, block.size() - filled,
                                static_cast<off_t>(offset) + static_cast<off_t>(filled));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw FileError(errno, "read", path);
    if (got == 0) break;
    filled += static_cast<size_t>(got);
  }
  return block.first(filled);
}

size_t BlockDigest(std::span<const std::byte> block) {
  return std::hash<std::string_view>()(
      std::string_view(reinterpret_cast<const char*>(block.data()), block.size()));
}

class Sha1 final {
 public:
  Sha1() : FContext(EVP_MD_CTX_new()) {
    if (!FContext) throw std::bad_alloc();
    RequireDigestStep(EVP_DigestInit_ex(FContext.get(), EVP_sha1(), nullptr));
  }
  void Update(std::span<const std::byte> bytes) {
    RequireDigestStep(EVP_DigestUpdate(FContext.get(), bytes.data(), bytes.size()));
  }
  std::string HexDigest() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    RequireDigestStep(EVP_DigestFinal_ex(FContext.get(), digest, &length));
    return HexText(digest, length);
  }
  EVP_MD_CTX* get() const { return FContext.get(); }

 private:
  DigestContext FContext;
};

}  // namespace

std::string Sha1Hex(std::string_view bytes) {
  Sha1 sha1;
  sha1.Update(std::as_bytes(std::span(bytes.data(), bytes.size())));
  return sha1.HexDigest();
}

// Opens nothing but a regular file, and never waits: a FIFO or a device put in a file's place
// opens at once (O_NONBLOCK) and is refused after the fstat. Not open when no file exists.
// A path past PATH_MAX is opened relative to its folder. `advice` tells the kernel how the
// file will be read.
FileDescriptor OpenRegularFile(const std::string& path, int advice) {
  FileDescriptor file(
      OpenLongPath(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
  if (!file.IsOpen()) {
    if (errno == ENOENT || errno == ENOTDIR) return file;
    throw FileError(errno, "open", path);
  }
  struct stat st {};
  if (::fstat(file.get(), &st) != 0) throw FileError(errno, "query", path);
  if (!S_ISREG(st.st_mode)) throw FileError(EINVAL, "hash a non-regular file", path);
  // Some file systems honour O_NONBLOCK on regular files too, and reads must wait for the
  // data: clear it (the only status flag that was set).
  if (::fcntl(file.get(), F_SETFL, 0) != 0) throw FileError(errno, "set up", path);
  ::posix_fadvise(file.get(), 0, 0, advice);
  return file;
}

size_t ReadFull(int fd, std::span<std::byte> buffer, const std::string& path) {
  size_t filled = 0;
  while (filled < buffer.size()) {
    const size_t got = ReadSome(fd, buffer.subspan(filled), path);
    if (got == 0) break;
    filled += got;
  }
  return filled;
}

// The watch is looked at before every block, so that a stop is seen within one block even
// in a file of many gigabytes.
std::string HashFile(const std::string& path, std::span<std::byte> buffer,
                     const BlockWatch& watch) {
  if (buffer.empty()) throw std::invalid_argument("empty read buffer");
  const FileDescriptor file = OpenRegularFile(path, POSIX_FADV_SEQUENTIAL);
  if (!file.IsOpen()) return {};
  Sha1 sha1;
  for (;;) {
    watch.Check();
    const size_t got = ReadSome(file.get(), buffer, path);
    if (got == 0) return sha1.HexDigest();
    watch.Count(got);
    sha1.Update(buffer.first(got));
  }
}

namespace {

int64_t LastBlockOffset(const TFileInfo& record) {
  return std::max<int64_t>(0, record.Size - static_cast<int64_t>(kEdgeBlockSize));
}

size_t CombineEdgeDigests(size_t first, size_t last) {
  return first ^ (last + 0x9E3779B97F4A7C15ULL + (first << 6) + (first >> 2));
}

}  // namespace

uint64_t EdgeSignatureFingerprint() {
  // The signature of known blocks changes whenever the way signatures are made does.
  const std::string_view probe = "parvolane edge signature, version 1";
  const auto bytes = std::as_bytes(std::span(probe.data(), probe.size()));
  return CombineEdgeDigests(BlockDigest(bytes.first(10)), BlockDigest(bytes));
}

// A digest of the file's first and last blocks. Only those blocks are fetched (no
// read-ahead), since most files checked this way are never read again: files of one size that
// differ at all differ at one end far more often than in the middle alone.
std::optional<size_t> EdgeBlocksSignatureOf(const FileDescriptor& file, const TFileInfo& record,
                                            std::span<std::byte> buffer) {
  try {
    const std::span<std::byte> block = buffer.first(std::min(buffer.size(), kEdgeBlockSize));
    const size_t first = BlockDigest(ReadBlockAt(file.get(), block, 0, record.FullPath));
    const size_t last =
        BlockDigest(ReadBlockAt(file.get(), block, LastBlockOffset(record), record.FullPath));
    return CombineEdgeDigests(first, last);
  } catch (const std::system_error&) {
    return std::nullopt;  // hashed on its own later, where the failure is counted
  }
}

namespace {

// Not open when the file cannot be opened: it is hashed on its own later, and a failure is
// counted there, once.
FileDescriptor OpenForEdges(const TFileInfo& record) {
  try {
    FileDescriptor file = OpenRegularFile(record.FullPath, POSIX_FADV_RANDOM);
    if (file.IsOpen()) {
      ::posix_fadvise(file.get(), 0, kEdgeBlockSize, POSIX_FADV_WILLNEED);
      ::posix_fadvise(file.get(), LastBlockOffset(record), kEdgeBlockSize, POSIX_FADV_WILLNEED);
    }
    return file;
  } catch (const std::system_error&) {
    return FileDescriptor();
  }
}

}  // namespace

void EdgeBlocksSignatures(std::span<TFileInfo* const> records, std::span<std::byte> buffer,
                          std::span<std::optional<size_t>> signatures, const BlockWatch& watch) {
  // Opened and announced all at once, so that a cold disk fetches the blocks side by side
  // instead of one wait after another.
  std::vector<FileDescriptor> files;
  files.reserve(records.size());
  for (TFileInfo* record : records) {
    if (watch.StopRequested()) return;
    if (record->EdgeSignature) {  // known already (the hash cache): nothing to read
      files.emplace_back(-1);
      continue;
    }
    files.push_back(OpenForEdges(*record));
  }
  for (size_t k = 0; k < records.size(); ++k) {
    if (watch.StopRequested()) return;
    if (records[k]->EdgeSignature) {
      signatures[k] = records[k]->EdgeSignature;
      continue;
    }
    signatures[k] =
        files[k].IsOpen() ? EdgeBlocksSignatureOf(files[k], *records[k], buffer) : std::nullopt;
    records[k]->EdgeSignature = signatures[k];
  }
}

namespace {

// One file read beside the first: open, and still equal to it so far.
struct Companion {
  const std::string* Path;
  FileDescriptor File;
  bool Alike;
};

// Not open when the file cannot be opened; the caller hashes it on its own, and counts a
// failure there.
FileDescriptor OpenOrNot(const std::string& path) {
  try {
    return OpenRegularFile(path, POSIX_FADV_SEQUENTIAL);
  } catch (const std::system_error&) {
    return FileDescriptor();
  }
}

std::vector<Companion> OpenCompanions(const std::vector<const std::string*>& paths, size_t first) {
  std::vector<Companion> companions;
  for (size_t i = first + 1; i < paths.size(); ++i) {
    Companion companion{paths[i], OpenOrNot(*paths[i]), false};
    companion.Alike = companion.File.IsOpen();
    companions.push_back(std::move(companion));
  }
  return companions;
}

// Compares a companion's next bytes with the first file's block.
void CompareBlock(Companion& companion, std::span<const std::byte> block,
                  std::span<std::byte> buffer, const BlockWatch& watch) {
  if (!companion.Alike) return;
  try {
    const size_t got = ReadFull(companion.File.get(), buffer.first(block.size()), *companion.Path);
    watch.Count(got);
    companion.Alike = got == block.size() && std::memcmp(buffer.data(), block.data(), got) == 0;
  } catch (const std::system_error&) {
    companion.Alike = false;
  }
}

// A companion that still matches at the first file's end must end there too.
void CompareEnd(Companion& companion) {
  std::byte probe[1];
  if (companion.Alike) {
    try {
      companion.Alike = ReadSome(companion.File.get(), probe, *companion.Path) == 0;
    } catch (const std::system_error&) {
      companion.Alike = false;
    }
  }
}

// Reads the lead to its end, every companion beside it; the lead's digest.
// Errors: std::system_error when the lead cannot be read; HashingAbandoned.
std::string DigestSideBySide(const FileDescriptor& lead, const std::string& leadPath,
                             std::vector<Companion>& companions, std::span<std::byte> firstBuffer,
                             std::span<std::byte> otherBuffer, const BlockWatch& watch) {
  Sha1 sha1;
  for (;;) {
    watch.Check();
    const size_t got = ReadFull(lead.get(), firstBuffer, leadPath);
    if (got == 0) break;
    watch.Count(got);
    const std::span<const std::byte> block = firstBuffer.first(got);
    sha1.Update(block);
    for (Companion& companion : companions) {
      watch.Check();  // every companion's block is a read of its own
      CompareBlock(companion, block, otherBuffer, watch);
    }
  }
  for (Companion& companion : companions)
    CompareEnd(companion);
  return sha1.HexDigest();
}

}  // namespace

std::vector<std::optional<std::string>> HashAlike(const std::vector<const std::string*>& paths,
                                                  std::span<std::byte> firstBuffer,
                                                  std::span<std::byte> otherBuffer,
                                                  const BlockWatch& watch) {
  std::vector<std::optional<std::string>> digests(paths.size());
  // The first file that opens leads; those before it cannot be read.
  size_t first = 0;
  FileDescriptor lead;
  for (; first < paths.size() && !lead.IsOpen(); ++first)
    lead = OpenOrNot(*paths[first]);
  if (!lead.IsOpen()) return digests;
  --first;
  std::vector<Companion> companions = OpenCompanions(paths, first);

  std::string digest;
  try {
    digest = DigestSideBySide(lead, *paths[first], companions, firstBuffer, otherBuffer, watch);
  } catch (const std::system_error&) {
    return digests;  // the first file could not be read to its end: nothing is known of any
  }
  digests[first] = digest;
  for (size_t k = 0; k < companions.size(); ++k) {
    if (companions[k].Alike) digests[first + 1 + k] = digest;
  }
  return digests;
}

}  // namespace parvolane
