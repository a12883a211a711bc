#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/scan_issues.h"
#include "results/result_list.h"

namespace parvolane {

/// Which lists the scan looked for, so that a script can tell "none found" from "not asked".
struct JsonLookedFor {
  bool FileClones = false;
  bool FolderClones = false;
};

/// Both result lists and the scan's summary as one JSON document (UTF-8, LF line ends), as
/// `parvolane-scan --json` writes it. Independent of the locale: sizes, device and inode
/// numbers and times are plain integers in bytes and nanoseconds. A text taken from the file
/// system that is not valid UTF-8 is written with U+FFFD for each bad sequence, and its raw
/// bytes follow in base64 under the same key with "_bytes" appended.
std::string ScanJsonText(const ResultList& files, const ResultList& dirs,
                         const ScanSummary& summary, JsonLookedFor lookedFor);

/// The text as a JSON string literal, quotes included: invalid UTF-8 replaced by U+FFFD,
/// quote, backslash and control characters escaped.
std::string JsonStringLiteral(std::string_view text);

/// Whether the text is valid UTF-8 throughout.
bool IsValidUtf8(std::string_view text);

/// Bytes in base64 (RFC 4648, standard alphabet, with padding).
std::string Base64Text(std::string_view bytes);

/// A time in nanoseconds since the epoch as ISO 8601 UTC with nine decimals,
/// "2026-12-10T10:38:05.123456789Z" (the int64_t range spans the years 1677 to 2262).
std::string IsoUtcText(int64_t epochNs);

}  // namespace parvolane
