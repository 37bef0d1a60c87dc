// Flush and update cost, as ratios against peers timed in the same run:
//   (a) flush / (the same tile-by-tile gather of each cell's buffered values
//       + the best sort available here: Highway's vectorised quicksort as the
//       engine builds it, std::sort for runs too short to repay it), on the
//       same threads; also against the gather + hwy::Sorter;
//   (b) flush on one thread / flush on all threads;
//   (c) update / memcpy of the same bytes;
//   (d) CPU time per value of a whole stream (updates and flushes) on one
//       thread, at compression 50 and 100, timed three ways: into lists whose
//       pages were written beforehand (untimed), into a new digest (the first
//       touch of each page timed, construction not), and construction and
//       stream together;
//   (e) small tensors: process CPU time of a stream on all threads / on one
//       thread (16 cells x 100 000 updates first, then larger tensors up to
//       the first whose flushes are split among the workers), with the wall
//       speed-up; into new digests, then into pages written beforehand.
// Usage: flush_bench [numel...]   (default 4096 65536 262144), compression 100
// for (a)-(c).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <random>
#include <vector>

#include <unistd.h>

#include <hwy/contrib/sort/vqsort.h>
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include "sketch/sort_run.hpp"
#include "tesrak/tensor_digest.hpp"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRepeats = 3;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// CPU time of every thread of the process, workers included.
double process_cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Cost {
  double wall = 1e30;
  double cpu = 1e30;
};

template <typename F>
Cost measure(F&& f) {
  const double cpu0 = process_cpu_seconds();
  const auto start = Clock::now();
  f();
  return {seconds_since(start), process_cpu_seconds() - cpu0};
}

// A new digest's large lists are fresh pages that the kernel backs on their
// first write, so a digest's first pass over them also pays for the page
// faults and the zeroing of each page. Writing one entry of every page back
// to itself (contents unchanged) moves that cost out of a timed region.
template <typename List>
void touch_pages(List& list) {
  const std::size_t stride =
      static_cast<std::size_t>(sysconf(_SC_PAGESIZE)) / sizeof(list[0]);
  volatile auto* entries = list.data();
  for (std::size_t i = 0; i < list.size(); i += stride) entries[i] = entries[i];
}

void touch_pages(tesrak::FloatDigest& d) {
  touch_pages(d.row_buffer);
  touch_pages(d.centroids_means);
  touch_pages(d.centroids_weights);
  touch_pages(d.n_centroids);
  touch_pages(d.total_weights);
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
// (tile by tile, with the flush's own copy loop) and sort them with
// `sort(run, n)`.
template <std::uint64_t kWidth>
void gather_tile(const tesrak::FloatDigest& d, std::uint64_t first, std::uint64_t width,
                 float* tile) {
  const std::uint64_t columns = kWidth > 0 ? kWidth : width;
  const std::uint64_t rows = d.n_buffered;
  const float* row = d.row_buffer.data() + first;
  for (std::uint64_t r = 0; r < rows; ++r, row += d.numel) {
#pragma GCC unroll 16
    for (std::uint64_t c = 0; c < columns; ++c) tile[c * rows + r] = row[c];
  }
}

template <typename Sort>
double gather_and_sort(const tesrak::FloatDigest& d, Sort&& sort) {
  const auto start = Clock::now();
  const std::uint64_t rows = d.n_buffered;
  tbb::parallel_for(tbb::blocked_range<std::uint64_t>(0, d.numel),
                    [&](const tbb::blocked_range<std::uint64_t>& r) {
                      constexpr std::uint64_t kTile = 16;
                      std::vector<float> tile(kTile * rows);
                      for (std::uint64_t first = r.begin(); first < r.end(); first += kTile) {
                        const std::uint64_t width = std::min(kTile, r.end() - first);
                        if (width == kTile) {
                          gather_tile<kTile>(d, first, width, tile.data());
                        } else {
                          gather_tile<0>(d, first, width, tile.data());
                        }
                        for (std::uint64_t c = 0; c < width; ++c) sort(tile.data() + c * rows, rows);
                      }
                    });
  return seconds_since(start);
}

// The fastest sort here: Highway's vectorised quicksort as the engine
// builds it (std::sort for the shortest runs).
double gather_and_best_sort(const tesrak::FloatDigest& d) {
  return gather_and_sort(d, [](float* run, std::uint64_t n) { tesrak::detail::sort_run(run, n); });
}

// The same quicksort through the library's own entry point, which seeds
// every call from a system call.
double gather_and_library_sort(const tesrak::FloatDigest& d) {
  return gather_and_sort(d, [](float* run, std::uint64_t n) {
    if (n < 26) {
      std::sort(run, run + n);
    } else {
      thread_local hwy::Sorter sorter;
      sorter(run, n, hwy::SortAscending());
    }
  });
}

struct FlushTimes {
  double first = 1e30;   // fresh cells of a new digest, slots never written
  double first_touched = 1e30;  // fresh cells whose pages were written before
  double steady = 1e30;  // cells already holding centroids
  double peer = 1e30;    // gather + sort of the steady flush's values
  double library = 1e30; // the same with hwy::Sorter
};

FlushTimes time_flush(std::uint64_t numel, std::uint64_t compression,
                      const std::vector<std::vector<float>>& rows) {
  FlushTimes best;
  for (int rep = 0; rep < kRepeats; ++rep) {
    tesrak::FloatDigest d({numel}, compression);
    const std::uint64_t half = rows.size() / 2;
    for (std::uint64_t r = 0; r + 1 < d.buffer_capacity; ++r) d.update(rows[r % half]);
    auto start = Clock::now();
    d.flush();
    best.first = std::min(best.first, seconds_since(start));
    {
      tesrak::FloatDigest touched({numel}, compression);
      touch_pages(touched);
      for (std::uint64_t r = 0; r + 1 < touched.buffer_capacity; ++r) {
        touched.update(rows[r % half]);
      }
      start = Clock::now();
      touched.flush();
      best.first_touched = std::min(best.first_touched, seconds_since(start));
    }
    for (std::uint64_t r = 0; r + 1 < d.buffer_capacity; ++r) d.update(rows[half + r % half]);
    best.peer = std::min(best.peer, gather_and_best_sort(d));
    best.library = std::min(best.library, gather_and_library_sort(d));
    start = Clock::now();
    d.flush();
    best.steady = std::min(best.steady, seconds_since(start));
  }
  return best;
}

// Updates that do not fill the buffer, against memcpy of the same rows.
void time_update(std::uint64_t numel, std::uint64_t compression,
                 const std::vector<std::vector<float>>& rows) {
  tesrak::FloatDigest d({numel}, compression);
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

// Where a timed stream starts.
enum class Start {
  kTouched,       // a digest whose pages were all written beforehand, untimed
  kNew,           // a new digest: the first write of each page is timed
  kConstruction,  // construction is timed too, then the stream as kNew
};

// A whole stream: every row once, then a final flush. The rows are all
// different so that no flush sorts runs the branch predictor has seen before.
// The cost is the best of kRepeats fresh digests.
Cost time_stream(std::uint64_t numel, std::uint64_t compression,
                 const std::vector<std::vector<float>>& rows, tbb::task_arena& arena,
                 Start start = Start::kNew) {
  Cost best;
  for (int rep = 0; rep < kRepeats; ++rep) {
    std::optional<tesrak::FloatDigest> d;
    if (start != Start::kConstruction) {
      d.emplace(std::vector<std::uint64_t>{numel}, compression);
      if (start == Start::kTouched) touch_pages(*d);
    }
    const Cost c = measure([&] {
      arena.execute([&] {
        if (!d) d.emplace(std::vector<std::uint64_t>{numel}, compression);
        for (const auto& row : rows) d->update(row);
        d->flush();
      });
    });
    best.wall = std::min(best.wall, c.wall);
    best.cpu = std::min(best.cpu, c.cpu);
  }
  return best;
}

void report_cpu_per_value(tbb::task_arena& one) {
  constexpr std::uint64_t kNumel = 65536;
  std::printf("(d) one thread, numel %llu, 3 full buffers, CPU ns per value:"
              " pages written before / new digest / construction + stream\n",
              static_cast<unsigned long long>(kNumel));
  for (std::uint64_t compression : {50, 100}) {
    const std::uint64_t updates = 3 * 2 * compression;
    const auto rows = make_rows(kNumel, updates);
    const double values = static_cast<double>(updates * kNumel);
    const Cost touched = time_stream(kNumel, compression, rows, one, Start::kTouched);
    const Cost fresh = time_stream(kNumel, compression, rows, one, Start::kNew);
    const Cost built = time_stream(kNumel, compression, rows, one, Start::kConstruction);
    std::printf("  compression %3llu  %5.2f / %5.2f / %5.2f ns per value"
                "  (CPU %7.1f / %7.1f / %7.1f ms)\n",
                static_cast<unsigned long long>(compression), touched.cpu * 1e9 / values,
                fresh.cpu * 1e9 / values, built.cpu * 1e9 / values, touched.cpu * 1e3,
                fresh.cpu * 1e3, built.cpu * 1e3);
  }
}

void report_small_tensors(tbb::task_arena& one, tbb::task_arena& all, int threads) {
  constexpr std::uint64_t kCompression = 50;
  constexpr std::uint64_t kValues = 1600000;
  std::printf("(e) compression %llu, %llu values per stream, %d threads against one:\n",
              static_cast<unsigned long long>(kCompression),
              static_cast<unsigned long long>(kValues), threads);
  for (std::uint64_t numel : {16, 256, 4096, 16384}) {
    const std::uint64_t updates = std::max(kValues / numel, 4 * kCompression);
    const auto rows = make_rows(numel, updates);
    const Cost single = time_stream(numel, kCompression, rows, one);
    const Cost many = time_stream(numel, kCompression, rows, all);
    std::printf("  numel %6llu x %6llu updates  1 thread %7.1f ms  %d threads %7.1f ms wall"
                "  %7.1f ms CPU  CPU ratio %.2f  speed-up %.2f\n",
                static_cast<unsigned long long>(numel), static_cast<unsigned long long>(updates),
                single.wall * 1e3, threads, many.wall * 1e3, many.cpu * 1e3,
                many.cpu / single.cpu, single.wall / many.wall);
    const Cost single_touched = time_stream(numel, kCompression, rows, one, Start::kTouched);
    const Cost many_touched = time_stream(numel, kCompression, rows, all, Start::kTouched);
    std::printf("    pages written before: CPU ratio %.2f  speed-up %.2f\n",
                many_touched.cpu / single_touched.cpu, single_touched.wall / many_touched.wall);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::uint64_t> sizes = {4096, 65536, 262144};
  if (argc > 1) {
    sizes.clear();
    for (int k = 1; k < argc; ++k) sizes.push_back(std::strtoull(argv[k], nullptr, 10));
  }
  constexpr std::uint64_t kCompression = 100;
  const int threads = tbb::this_task_arena::max_concurrency();
  tbb::task_arena all(threads);
  tbb::task_arena one(1);
  std::printf("compression %llu, 2 x 199 buffered rows per flush, %d threads\n",
              static_cast<unsigned long long>(kCompression), threads);
  for (std::uint64_t numel : sizes) {
    const auto rows = make_rows(numel, 2 * (2 * kCompression));
    FlushTimes many, single;
    all.execute([&] { many = time_flush(numel, kCompression, rows); });
    one.execute([&] { single = time_flush(numel, kCompression, rows); });
    std::printf("numel %llu\n", static_cast<unsigned long long>(numel));
    std::printf("  flush first %8.3f ms  steady %8.3f ms  gather+sort %8.3f ms"
                "  (a) steady/peer %.2f  first/peer %.2f\n",
                many.first * 1e3, many.steady * 1e3, many.peer * 1e3, many.steady / many.peer,
                many.first / many.peer);
    std::printf("  flush first, pages written before %8.3f ms  first/peer %.2f\n",
                many.first_touched * 1e3, many.first_touched / many.peer);
    std::printf("  gather+hwy::Sorter %8.3f ms  steady/that peer %.2f\n", many.library * 1e3,
                many.steady / many.library);
    std::printf("  1 thread steady %8.3f ms  (b) speed-up %.2f on %d threads (%.2f per thread;"
                " the peer's own %.2f)\n",
                single.steady * 1e3, single.steady / many.steady, threads,
                single.steady / many.steady / threads, single.peer / many.peer);
    time_update(numel, kCompression, rows);
  }
  report_cpu_per_value(one);
  report_small_tensors(one, all, threads);
}
