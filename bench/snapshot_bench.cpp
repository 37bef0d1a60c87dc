// Snapshot save and load throughput, in MB of payload per second, as ratios
// against peers timed in the same run on the same bytes:
//   (a) save / zstd compression of the payload alone (level 3, one call);
//   (b) load / zstd decompression of the file alone, into a buffer made
//       ready beforehand;
//   (c) payload encoding / a copy of the payload into a new buffer, and
//       decoding likewise: both build new memory of the payload's size;
// plus the compressed size as a fraction of the payload. A save encodes
// into the compressor and a load decodes out of the decompressor, through
// windows of a few MiB, so their parts are timed on their own below.
// Usage: snapshot_bench [directory]   (default: the system's temp directory)
// The digest has shape [512, 512] (262 144 cells) and compression 50.
#include <zstd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <tbb/task_arena.h>

#include "storage/snapshot_payload.hpp"
#include "tesrak/tensor_digest.hpp"
#include "storage/file_streams.hpp"
#include "storage/whole_file.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t kSide = 512;
constexpr std::uint64_t kCompression = 50;
constexpr int kFlushes = 3;
constexpr int kRepeats = 3;
constexpr double kMegabyte = 1e6;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

template <typename Body>
double best_of(Body&& body) {
  double best = 1e30;
  for (int rep = 0; rep < kRepeats; ++rep) {
    const auto start = Clock::now();
    body();
    best = std::min(best, seconds_since(start));
  }
  return best;
}

// Cells of mixed distributions (normal, uniform, log-normal, mostly zero),
// flushed a few times so that every cell holds a full set of centroids.
tesrak::FloatDigest make_digest() {
  tesrak::FloatDigest d({kSide, kSide}, kCompression);
  std::mt19937 rng(1);
  std::normal_distribution<float> normal;
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  std::vector<float> row(d.numel);
  for (std::uint64_t r = 0; r < kFlushes * d.buffer_capacity; ++r) {
    for (std::uint64_t i = 0; i < d.numel; ++i) {
      switch (i % 4) {
        case 0: row[i] = normal(rng); break;
        case 1: row[i] = uniform(rng); break;
        case 2: row[i] = std::exp(normal(rng)); break;
        default: row[i] = uniform(rng) > 0.5f ? normal(rng) : 0.0f; break;
      }
    }
    d.update(row);
  }
  return d;
}

Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void report(const char* what, double mb, double seconds, double peer_seconds,
            const char* peer) {
  std::printf("  %-8s %8.1f ms %8.1f MB/s   %-22s %8.1f ms   ratio %.2f\n", what,
              seconds * 1e3, mb / seconds, peer, peer_seconds * 1e3, seconds / peer_seconds);
}

}  // namespace

int main(int argc, char** argv) {
  const std::filesystem::path dir = argc > 1 ? argv[1] : std::filesystem::temp_directory_path();
  const std::string path = (dir / "tesrak-snapshot-bench.tsk").string();

  tesrak::FloatDigest digest = make_digest();
  const Bytes payload = tesrak::detail::encode_payload(digest);
  const double mb = static_cast<double>(payload.size()) / kMegabyte;
  std::printf("shape [%llu, %llu], compression %llu, payload %.1f MB, %d threads for the flush\n",
              static_cast<unsigned long long>(kSide), static_cast<unsigned long long>(kSide),
              static_cast<unsigned long long>(kCompression), mb,
              tbb::this_task_arena::max_concurrency());

  Bytes frame(ZSTD_compressBound(payload.size()));
  std::size_t frame_size = 0;
  const double compress_s = best_of([&] {
    frame_size = ZSTD_compress(frame.data(), frame.size(), payload.data(), payload.size(), 3);
  });
  frame.resize(frame_size);
  const double save_s = best_of([&] { digest.save(path); });

  Bytes decompressed(payload.size());
  const double decompress_s = best_of([&] {
    ZSTD_decompress(decompressed.data(), decompressed.size(), frame.data(), frame.size());
  });
  const double load_s = best_of([&] { (void)tesrak::load_snapshot(path); });

  const double copy_s = best_of([&] { const Bytes copy(payload); });
  const double encode_s = best_of([&] { (void)tesrak::detail::encode_payload(digest); });
  const double decode_s = best_of([&] { (void)tesrak::FloatDigest::from_payload(payload); });

  const Bytes file = read_file(path);
  const double write_s = best_of([&] {
    tesrak::detail::replace_whole_file(path, [&](tesrak::detail::ByteSink& out) { out.put(file); });
  });
  const double read_s = best_of([&] {
    tesrak::detail::FileReader reader(path);
    while (!reader.next().empty()) {
    }
  });
  const double from_bytes_s = best_of([&] { (void)tesrak::from_bytes(file); });
  std::printf("file %.1f MB: compressed / payload %.4f (%.1f x smaller)\n",
              static_cast<double>(file.size()) / kMegabyte,
              static_cast<double>(file.size()) / static_cast<double>(payload.size()),
              static_cast<double>(payload.size()) / static_cast<double>(file.size()));
  report("save", mb, save_s, compress_s, "(a) zstd compress");
  report("load", mb, load_s, decompress_s, "(b) zstd decompress");
  report("encode", mb, encode_s, copy_s, "(c) fresh copy");
  report("decode", mb, decode_s, copy_s, "(c) fresh copy");
  std::printf("  parts of a save: encode %.1f + compress %.1f + write and sync %.1f ms\n",
              encode_s * 1e3, compress_s * 1e3, write_s * 1e3);
  std::printf("  parts of a load: read %.1f + decompress and decode %.1f ms (decode %.1f)\n",
              read_s * 1e3, from_bytes_s * 1e3, decode_s * 1e3);
  std::filesystem::remove(path);
}
