#pragma once

#include <stdexcept>
#include <string>

namespace parvolane {

/// A failure of the update download; its message is shown to the user as it is.
class UpdateError : public std::runtime_error {
 public:
  explicit UpdateError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace parvolane
