#include "support/parallel.hpp"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <optional>

#include <tbb/global_control.h>

#include "support/decimal.hpp"

namespace tesrak::detail {
namespace {

// A positive decimal count ("+" allowed, as an unsigned parse takes it), or
// nothing. Zero is reported as 0 so the caller can tell it from junk.
std::optional<std::uint64_t> read_count(const char* name) {
  const char* text = std::getenv(name);
  if (text == nullptr) return std::nullopt;
  return parse_unsigned_decimal(text);
}

// 0 means "the pool's default, every available CPU".
std::uint64_t configured_threads() {
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
  const std::uint64_t threads = configured_threads();
  // oneTBB aborts on a limit of 0, so only a positive count makes a pool.
  if (threads == 0 || threads > static_cast<std::uint64_t>(INT_MAX)) return nullptr;
  return new Pool(threads);  // never freed: workers may outlive static destructors
}

}  // namespace

tbb::task_arena* configured_pool() {
  static Pool* const pool = make_pool();
  return pool ? &pool->arena : nullptr;
}

}  // namespace tesrak::detail
