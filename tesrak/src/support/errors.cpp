#include "tesrak/errors.hpp"

#include <cstring>

namespace tesrak {

IoError IoError::from_errno(int code) {
  char buffer[256];
  // The GNU strerror_r may return a static string instead of filling buffer.
  const char* description = strerror_r(code, buffer, sizeof buffer);
  return IoError(IoErrorKind::Os,
                 std::string(description) + " (os error " + std::to_string(code) + ")", code);
}

}  // namespace tesrak
