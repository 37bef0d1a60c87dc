// Flush and update throughput, as ratios against peers timed in the same run:
//   (a) flush / (per-cell gather + std::sort of the same buffered values),
//       on the same threads: the part no flush can avoid;
//   (b) flush on one thread / flush on all threads;
//   (c) update / memcpy of the same bytes.
// Usage: flush_bench [numel...]   (default 1024 65536 1048576), compression 100.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include "tesrak/tensor_digest.hpp"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint64_t kCompression = 100;
constexpr int kRepeats = 3;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Rows of mixed per-cell distributions, as a training loop would produce.
std::vector<std::vector<float>> make_rows(std::uint64_t numel, std::uint64_t count) {
  std::mt19937 rng(1);
  std::normal_distribution<float> normal;
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  std::vector<std::vector<float>> rows(count, std::vector<float>(numel));
  for (auto& row : rows) {
    for (std::uint64_t i = 0; i < numel; ++i) {
      row[i] = (i % 3 == 0) ? normal(rng) : (i % 3 == 1) ? uniform(rng) : std::exp(normal(rng));
    }
  }
  return rows;
}

// The unavoidable part of a flush: bring each cell's values together
// (tile by tile, as the flush does) and sort them.
double gather_and_sort(const tesrak::FloatDigest& d) {
  const auto start = Clock::now();
  const std::uint64_t rows = d.n_buffered;
  tbb::parallel_for(tbb::blocked_range<std::uint64_t>(0, d.numel),
                    [&](const tbb::blocked_range<std::uint64_t>& r) {
                      constexpr std::uint64_t kTile = 16;
                      std::vector<float> tile(kTile * rows);
                      for (std::uint64_t first = r.begin(); first < r.end(); first += kTile) {
                        const std::uint64_t width = std::min(kTile, r.end() - first);
                        for (std::uint64_t row = 0; row < rows; ++row) {
                          const float* src = d.row_buffer.data() + row * d.numel + first;
                          for (std::uint64_t c = 0; c < width; ++c) tile[c * rows + row] = src[c];
                        }
                        for (std::uint64_t c = 0; c < width; ++c) {
                          std::sort(tile.begin() + c * rows, tile.begin() + (c + 1) * rows);
                        }
                      }
                    });
  return seconds_since(start);
}

struct FlushTimes {
  double first;   // fresh cells
  double steady;  // cells already holding centroids
  double peer;    // gather + sort of the steady flush's values
};

FlushTimes time_flush(std::uint64_t numel, const std::vector<std::vector<float>>& rows) {
  FlushTimes best{1e30, 1e30, 1e30};
  for (int rep = 0; rep < kRepeats; ++rep) {
    tesrak::FloatDigest d({numel}, kCompression);
    const std::uint64_t half = rows.size() / 2;
    for (std::uint64_t r = 0; r + 1 < d.buffer_capacity; ++r) d.update(rows[r % half]);
    auto start = Clock::now();
    d.flush();
    best.first = std::min(best.first, seconds_since(start));
    for (std::uint64_t r = 0; r + 1 < d.buffer_capacity; ++r) d.update(rows[half + r % half]);
    best.peer = std::min(best.peer, gather_and_sort(d));
    start = Clock::now();
    d.flush();
    best.steady = std::min(best.steady, seconds_since(start));
  }
  return best;
}

// Updates that do not fill the buffer, against memcpy of the same rows.
void time_update(std::uint64_t numel, const std::vector<std::vector<float>>& rows) {
  tesrak::FloatDigest d({numel}, kCompression);
  std::vector<float> sink(numel * rows.size());
  const std::uint64_t count = std::min<std::uint64_t>(rows.size(), d.buffer_capacity - 1);
  double update_s = 1e30, copy_s = 1e30;
  for (int rep = 0; rep < kRepeats; ++rep) {
    d.n_buffered = 0;
    auto start = Clock::now();
    for (std::uint64_t r = 0; r < count; ++r) d.update(rows[r]);
    update_s = std::min(update_s, seconds_since(start));
    start = Clock::now();
    for (std::uint64_t r = 0; r < count; ++r) {
      std::memcpy(sink.data() + r * numel, rows[r].data(), numel * sizeof(float));
    }
    copy_s = std::min(copy_s, seconds_since(start));
  }
  std::printf("  update %8.3f ms  memcpy %8.3f ms  (c) update/memcpy %.2f\n", update_s * 1e3,
              copy_s * 1e3, update_s / copy_s);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::uint64_t> sizes = {1024, 65536, 1048576};
  if (argc > 1) {
    sizes.clear();
    for (int k = 1; k < argc; ++k) sizes.push_back(std::strtoull(argv[k], nullptr, 10));
  }
  const int threads = tbb::this_task_arena::max_concurrency();
  std::printf("compression %llu, 2 x 199 buffered rows per flush, %d threads\n",
              static_cast<unsigned long long>(kCompression), threads);
  for (std::uint64_t numel : sizes) {
    const auto rows = make_rows(numel, 2 * (2 * kCompression));
    FlushTimes all, one;
    tbb::task_arena(threads).execute([&] { all = time_flush(numel, rows); });
    tbb::task_arena(1).execute([&] { one = time_flush(numel, rows); });
    std::printf("numel %llu\n", static_cast<unsigned long long>(numel));
    std::printf("  flush first %8.3f ms  steady %8.3f ms  gather+sort %8.3f ms"
                "  (a) steady/peer %.2f  first/peer %.2f\n",
                all.first * 1e3, all.steady * 1e3, all.peer * 1e3, all.steady / all.peer,
                all.first / all.peer);
    std::printf("  1 thread steady %8.3f ms  (b) speed-up %.2f on %d threads (%.2f per thread)\n",
                one.steady * 1e3, one.steady / all.steady, threads,
                one.steady / all.steady / threads);
    time_update(numel, rows);
  }
}
