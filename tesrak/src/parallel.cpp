#include "parallel.hpp"

#include <cstdlib>
#include <memory>
#include <optional>
#include <string_view>

#include <tbb/global_control.h>

namespace tesrak::detail {
namespace {

// A positive decimal count ("+" allowed, as an unsigned parse takes it), or
// nothing. Zero is reported as 0 so the caller can tell it from junk.
std::optional<std::size_t> read_count(const char* name) {
  const char* text = std::getenv(name);
  if (text == nullptr) return std::nullopt;
  std::string_view s(text);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  std::size_t value = 0;
  for (char ch : s) {
    if (ch < '0' || ch > '9') return std::nullopt;
    std::size_t digit = static_cast<std::size_t>(ch - '0');
    if (value > (SIZE_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

// 0 means "the pool's default, every available CPU".
std::size_t configured_threads() {
  if (auto n = read_count("RAYON_NUM_THREADS")) return *n;  // "0" asks for the default
  if (auto n = read_count("RAYON_RS_NUM_CPUS")) return *n;
  return 0;
}

std::unique_ptr<tbb::global_control> make_limit() {
  std::size_t threads = configured_threads();
  // TBB aborts on a limit of 0, so only a positive count is installed.
  if (threads == 0) return nullptr;
  return std::make_unique<tbb::global_control>(tbb::global_control::max_allowed_parallelism,
                                               threads);
}

}  // namespace

void apply_thread_limit() {
  static const std::unique_ptr<tbb::global_control> limit = make_limit();
  (void)limit;
}

}  // namespace tesrak::detail
