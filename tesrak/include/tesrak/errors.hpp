#pragma once

#include <stdexcept>
#include <string>

namespace tesrak {

// A misuse or a broken limit that the engine detects: an index beyond the
// cells, a cell needing more centroid slots than it has. The operation ends
// and the caller gets the message; the digest stays usable.
class EngineError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A cell whose merge needs more centroid slots than it has: the compression
// leaves too little headroom for what is being merged.
class CapacityError : public EngineError {
 public:
  using EngineError::EngineError;
};

enum class IoErrorKind {
  InvalidData,   // a snapshot that cannot be decoded
  InvalidInput,  // an address or port text that cannot be used
  Other,         // the compressor failed
  Os,            // the operating system refused (see os_code)
};

// A failed file, snapshot or socket operation. The message is exactly what
// the user sees; for an operating-system error it is the system's
// description followed by " (os error N)".
class IoError : public std::runtime_error {
 public:
  IoError(IoErrorKind kind, const std::string& message, int os_code = 0)
      : std::runtime_error(message), kind_(kind), os_code_(os_code) {}

  // The error for errno value `code`.
  static IoError from_errno(int code);

  IoErrorKind kind() const noexcept { return kind_; }
  int os_code() const noexcept { return os_code_; }

 private:
  IoErrorKind kind_;
  int os_code_;
};

}  // namespace tesrak
