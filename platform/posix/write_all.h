#pragma once

#include <functional>
#include <string_view>

namespace parvolane {

/// Writes all of `data` to `fd`: a write that a signal interrupted is made again and a short
/// write is continued where it stopped. `stopRequested`, when given, is asked before every
/// write, so that a signal that breaks a write to a slow reader can end the loop.
/// Errors: returns 0 when everything was written, ECANCELED when `stopRequested` said so, else
/// the errno of the write that failed (EIO for a write that wrote nothing).
int WriteAll(int fd, std::string_view data, const std::function<bool()>& stopRequested = {});

}  // namespace parvolane
