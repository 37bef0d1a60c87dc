// Placeholder until the classifier lands.
#include "tesrak/distribution.hpp"

#include <ostream>

#include "tesrak/errors.hpp"

namespace tesrak {

std::string_view label(Distribution) noexcept { return "Unknown"; }

std::ostream& operator<<(std::ostream& os, Distribution d) {
  std::string_view text = label(d);
  return os.write(text.data(), static_cast<std::streamsize>(text.size()));
}

const ReferenceTable& ref_profiles() { throw EngineError("reference profiles not built yet"); }

}  // namespace tesrak
