// Classification throughput, as ratios against peers timed in the same run:
//   (a) analyze / the 53 quantile-rule evaluations it asks of every cell
//       (median, spread, 50 profile levels), cell by cell on the same
//       threads: the part of a classification no implementation can avoid;
//   (b) analyze on one thread / analyze on all threads.
// Usage: analyze_bench [numel] [updates]   (default 262144 cells, 300 updates),
// compression 50, cells cycling through the five families.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include "tesrak/quantile_rule.hpp"
#include "tesrak/tensor_digest.hpp"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint64_t kCompression = 50;
constexpr int kRepeats = 5;
constexpr double kTwoPi = 6.283185307179586;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// splitmix64: fast enough that generating a few hundred million samples does
// not dominate the run.
class Sampler {
 public:
  explicit Sampler(std::uint64_t seed) : state_(seed) {}

  float sample(std::uint64_t cell) {
    switch (cell % 5) {
      case 0: return normal();
      case 1: return static_cast<float>(2.0 * unit() - 1.0);
      case 2: return static_cast<float>(unit() < 0.5 ? std::log(unit()) : -std::log(unit()));
      case 3: return std::exp(normal());
      default: return (unit() < 0.5 ? -0.866f : 0.866f) + 0.5f * normal();
    }
  }

 private:
  double unit() {  // in (0, 1)
    state_ += 0x9e3779b97f4a7c15ULL;
    std::uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    return (static_cast<double>(z >> 11) + 0.5) * 0x1.0p-53;
  }
  float normal() {
    return static_cast<float>(std::sqrt(-2.0 * std::log(unit())) * std::cos(kTwoPi * unit()));
  }

  std::uint64_t state_;
};

tesrak::FloatDigest make_digest(std::uint64_t numel, std::uint64_t updates) {
  tesrak::FloatDigest d({numel}, kCompression);
  Sampler sampler(42);
  std::vector<float> row(numel);
  for (std::uint64_t u = 0; u < updates; ++u) {
    for (std::uint64_t i = 0; i < numel; ++i) row[i] = sampler.sample(i);
    d.update(row);
  }
  d.flush();
  return d;
}

// The levels a classification asks of every cell.
std::vector<float> classifier_levels() {
  std::vector<float> levels = {0.5f, 0.84f, 0.16f};
  for (int i = 0; i < 50; ++i) levels.push_back(static_cast<float>(2 * i + 1) / 100.0f);
  return levels;
}

// Every cell's quantiles at the classifier's levels, each cell's sum kept so
// the work cannot be dropped.
double quantiles_cell_by_cell(const tesrak::FloatDigest& d, const std::vector<float>& levels) {
  std::vector<float> sums(d.numel);
  const auto start = Clock::now();
  tbb::parallel_for(tbb::blocked_range<std::uint64_t>(0, d.numel),
                    [&](const tbb::blocked_range<std::uint64_t>& r) {
                      for (std::uint64_t i = r.begin(); i < r.end(); ++i) {
                        const tesrak::CellSketch cell = d.cell_sketch(i);
                        float sum = 0.0f;
                        for (float q : levels) sum += tesrak::quantile_from_centroids(cell, q);
                        sums[i] = sum;
                      }
                    });
  const double elapsed = seconds_since(start);
  volatile float sink = sums[d.numel / 2];
  (void)sink;
  return elapsed;
}

struct Times {
  double analyze = 1e30;
  double peer = 1e30;
};

Times time_passes(tesrak::FloatDigest& d) {
  const std::vector<float> levels = classifier_levels();
  Times best;
  for (int rep = 0; rep < kRepeats; ++rep) {
    auto start = Clock::now();
    const auto codes = d.analyze();
    best.analyze = std::min(best.analyze, seconds_since(start));
    best.peer = std::min(best.peer, quantiles_cell_by_cell(d, levels));
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t numel = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 262144;
  const std::uint64_t updates = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 300;
  const int threads = tbb::this_task_arena::max_concurrency();

  tesrak::FloatDigest d = make_digest(numel, updates);
  std::uint64_t centroids = 0;
  for (std::uint64_t i = 0; i < numel; ++i) centroids += d.n_centroids[i];
  const auto codes = d.analyze();  // builds the reference table outside the timings
  std::uint64_t per_family[6] = {};
  std::uint64_t own_family = 0;  // cell i is drawn from family i % 5
  for (std::uint64_t i = 0; i < numel; ++i) {
    ++per_family[static_cast<int>(codes[i])];
    own_family += static_cast<std::uint64_t>(codes[i]) == i % 5;
  }

  std::printf("numel %llu, compression %llu, %llu updates, %.1f centroids per cell, %d threads\n",
              static_cast<unsigned long long>(numel),
              static_cast<unsigned long long>(kCompression),
              static_cast<unsigned long long>(updates),
              static_cast<double>(centroids) / static_cast<double>(numel), threads);
  std::printf("codes: Normal %llu Uniform %llu Laplace %llu LogNormal %llu BiNormal %llu "
              "Unknown %llu; %.1f%% labelled with their own family\n",
              static_cast<unsigned long long>(per_family[0]),
              static_cast<unsigned long long>(per_family[1]),
              static_cast<unsigned long long>(per_family[2]),
              static_cast<unsigned long long>(per_family[3]),
              static_cast<unsigned long long>(per_family[4]),
              static_cast<unsigned long long>(per_family[5]),
              100.0 * static_cast<double>(own_family) / static_cast<double>(numel));

  Times all, one;
  tbb::task_arena(threads).execute([&] { all = time_passes(d); });
  tbb::task_arena(1).execute([&] { one = time_passes(d); });
  const double cells = static_cast<double>(numel);
  std::printf("1 thread:   analyze %8.1f ms (%6.3f us/cell)  53 quantiles/cell %8.1f ms"
              "  (a) %.2f\n",
              one.analyze * 1e3, one.analyze / cells * 1e6, one.peer * 1e3,
              one.analyze / one.peer);
  std::printf("%d threads: analyze %8.1f ms (%6.3f us/cell)  53 quantiles/cell %8.1f ms"
              "  (a) %.2f\n",
              threads, all.analyze * 1e3, all.analyze / cells * 1e6, all.peer * 1e3,
              all.analyze / all.peer);
  std::printf("(b) speed-up %.2f on %d threads (%.2f per thread); the peer's own speed-up %.2f\n",
              one.analyze / all.analyze, threads, one.analyze / all.analyze / threads,
              one.peer / all.peer);
}
