#include "results/digest_text.h"

#include <algorithm>
#include <ostream>
#include <stdexcept>
#include <string>

namespace parvolane {

DigestText::DigestText(std::string_view text) {
  if (text.size() > FText.size() || text.find('\0') != std::string_view::npos) {
    throw std::invalid_argument("a digest of " + std::to_string(text.size()) + " characters");
  }
  std::copy(text.begin(), text.end(), FText.begin());
}

size_t DigestText::size() const {
  return static_cast<size_t>(std::find(FText.begin(), FText.end(), '\0') - FText.begin());
}

std::ostream& operator<<(std::ostream& out, const DigestText& digest) {
  return out << digest.View();
}

}  // namespace parvolane
