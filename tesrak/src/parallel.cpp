#include "parallel.hpp"

#include <climits>
#include <cstdlib>
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

// A global limit alone only lowers oneTBB's default arena, which never
// grows past the CPUs the process may use; an arena of its own, with a
// limit to match, has exactly the count asked for. Both live as long as
// the process.
struct Pool {
  explicit Pool(std::size_t threads)
      : limit(tbb::global_control::max_allowed_parallelism, threads),
        arena(static_cast<int>(threads)) {}
  tbb::global_control limit;
  tbb::task_arena arena;
};

Pool* make_pool() {
  const std::size_t threads = configured_threads();
  // oneTBB aborts on a limit of 0, so only a positive count makes a pool.
  if (threads == 0 || threads > static_cast<std::size_t>(INT_MAX)) return nullptr;
  return new Pool(threads);  // never freed: workers may outlive static destructors
}

}  // namespace

tbb::task_arena* configured_pool() {
  static Pool* const pool = make_pool();
  return pool ? &pool->arena : nullptr;
}

}  // namespace tesrak::detail
