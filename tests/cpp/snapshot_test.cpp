#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <zstd.h>

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../fuzz/piecewise.hpp"
#include "storage/snapshot_frames.hpp"
#include "storage/snapshot_payload.hpp"
#include "tesrak/errors.hpp"
#include "tesrak/tensor_digest.hpp"
#include "test_support.hpp"

namespace tesrak {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* kShortPayload = "io error: failed to fill whole buffer";
const Bytes kInf = {0, 0, 0x80, 0x7F}, kIntMax = {0xFF, 0xFF, 0xFF, 0x7F};  // as stored

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes frame_of(const Bytes& content) {
  Bytes out(ZSTD_compressBound(content.size()));
  out.resize(ZSTD_compress(out.data(), out.size(), content.data(), content.size(), 3));
  return out;
}

Bytes skippable_frame(std::uint8_t size) {
  return Bytes{0x50, 0x2A, 0x4D, 0x18, size, 0, 0, 0} + Bytes(size, 0xAB);
}

Bytes le64(std::uint64_t v) {
  Bytes out;
  for (int b = 0; b < 8; ++b) out.push_back(static_cast<std::uint8_t>(v >> (8 * b)));
  return out;
}

// One frame holding `prefix` as is, then `zeros` zero bytes as blocks that
// each repeat one byte: a few bytes of file for every 128 KiB of payload.
Bytes zeros_frame(const Bytes& prefix, std::uint64_t zeros) {
  constexpr std::uint64_t kBlock = std::uint64_t{1} << 17;
  Bytes out{0x28, 0xB5, 0x2F, 0xFD, 0x00, 0x38};  // magic; no size, 128 KiB window
  auto block = [&](std::uint32_t type, std::uint64_t size, bool last) {
    const std::uint32_t header = (last ? 1u : 0u) | (type << 1) | static_cast<std::uint32_t>(size << 3);
    for (int b = 0; b < 3; ++b) out.push_back(static_cast<std::uint8_t>(header >> (8 * b)));
  };
  block(0, prefix.size(), zeros == 0);
  out.insert(out.end(), prefix.begin(), prefix.end());
  while (zeros > 0) {
    const std::uint64_t n = std::min(zeros, kBlock);
    zeros -= n;
    block(1, n, zeros == 0);
    out.push_back(0);
  }
  return out;
}

// One frame that declares `declared` bytes of content but holds only
// `content`, as a raw block, and ends with an empty last block. Decoding
// block by block, zstd ends a frame at an empty last block without
// comparing what it gave with the size declared.
Bytes frame_ending_early(std::uint32_t declared, const Bytes& content) {
  Bytes out{0x28, 0xB5, 0x2F, 0xFD, 0xA0};  // magic; one segment, a 4-byte size
  const Bytes size = le64(declared);
  const Bytes raw_block = le64(content.size() << 3);  // not the last
  out.insert(out.end(), size.begin(), size.begin() + 4);
  out.insert(out.end(), raw_block.begin(), raw_block.begin() + 3);
  return out + content + Bytes{1, 0, 0};  // an empty raw block, the last
}

// A frame whose checksum no longer matches its content.
Bytes frame_with_bad_checksum(const Bytes& content) {
  ZSTD_CCtx* c = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1);
  Bytes out(ZSTD_compressBound(content.size()));
  out.resize(ZSTD_compress2(c, out.data(), out.size(), content.data(), content.size()));
  ZSTD_freeCCtx(c);
  out.back() ^= 0x01;
  return out;
}

Bytes payload_of(const AnyDigest& any) {
  return std::visit([](const auto& d) { return detail::encode_payload(d); }, any);
}

Bytes file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

IoError io_error_of(const std::function<void()>& call) {
  try {
    call();
  } catch (const IoError& e) {
    return e;
  }
  ADD_FAILURE() << "no IoError";
  return IoError(IoErrorKind::Other, "");
}

// The same failure whether the reader gets the file at once or in pieces.
void expect_invalid(const Bytes& file, const std::string& message) {
  const IoError e = io_error_of([&] { from_bytes(file); });
  EXPECT_EQ(e.kind(), IoErrorKind::InvalidData);
  EXPECT_EQ(e.what(), message);
  fuzz::PiecewiseSource pieces(file, 7);  // a few bytes at a time, as a file is read
  EXPECT_EQ(io_error_of([&] { detail::decode_frames(pieces); }).what(), message);
}

template <typename T>
TensorDigest<T> random_digest(std::vector<std::uint64_t> shape, std::uint64_t compression,
                              int updates, unsigned seed) {
  TensorDigest<T> d(std::move(shape), compression);
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal(3.0f, 20.0f);
  std::vector<T> row(d.numel);
  for (int u = 0; u < updates; ++u) {
    for (T& v : row) v = static_cast<T>(normal(rng));
    d.update(row);
  }
  return d;
}

using SnapshotFiles = testing::TempDirTest;

TEST(SnapshotLayout, FieldsLittleEndianWithCountsBeforeLists) {
  // shape count and entry, numel, compression, row_buffer count
  const Bytes counts = le64(1) + le64(1) + le64(1) + le64(1) + le64(2);
  const Bytes f = payload_of(FloatDigest({1}, 1));
  ASSERT_EQ(f.size(), 269u);
  EXPECT_EQ(Bytes(f.begin(), f.begin() + 49), Bytes{0} + counts + kInf + kInf);
  EXPECT_EQ(Bytes(f.begin() + 65, f.begin() + 73), le64(16));  // max_centroids
  const Bytes i = payload_of(IntDigest({1}, 1));
  ASSERT_EQ(i.size(), 269u);
  EXPECT_EQ(Bytes(i.begin(), i.begin() + 45), Bytes{1} + counts + kIntMax);

  const Bytes scalar = payload_of(FloatDigest({}, 3));
  EXPECT_EQ(scalar.size(), 105u + 56 * 3 + 100);  // no shape entries, one cell

  const Bytes no_cells = payload_of(IntDigest({2, 0, 3}, 4));
  EXPECT_EQ(no_cells.size(), 105u + 8 * 3);  // every list but the shape empty
}

TEST(SnapshotLayout, RowsNeverWrittenAreStoredAsTheFillValue) {
  auto rows_of = [](const Bytes& payload) {  // one dimension: the rows follow the count at 33
    return Bytes(payload.begin() + 41, payload.begin() + 41 + 4 * 8);
  };
  FloatDigest f({2}, 2);  // four rows of two
  const float values[2] = {1.0f, -2.0f};
  f.update(values);
  f.flush();  // the flushed row stays in the buffer
  const Bytes inf_row = kInf + kInf;
  const Bytes one_row = Bytes{0, 0, 0x80, 0x3F, 0, 0, 0, 0xC0} + inf_row + inf_row + inf_row;
  EXPECT_EQ(rows_of(payload_of(f)), one_row);
  AnyDigest loaded = from_bytes(frame_of(payload_of(f)));
  EXPECT_EQ(rows_of(payload_of(loaded)), one_row);

  IntDigest i({2}, 2);
  const std::int32_t ints[2] = {5, 6};
  for (int k = 0; k < 3; ++k) i.update(ints);
  const Bytes row = {5, 0, 0, 0, 6, 0, 0, 0};
  EXPECT_EQ(rows_of(payload_of(i)), row + row + row + kIntMax + kIntMax);
}

template <typename T>
class SnapshotRoundTrip : public SnapshotFiles {};
using ElementTypes = ::testing::Types<float, std::int32_t>;
TYPED_TEST_SUITE(SnapshotRoundTrip, ElementTypes);

TYPED_TEST(SnapshotRoundTrip, SaveLoadSaveIsBitForBit) {
  // Rows left buffered, no dimensions, no cells, payloads larger than the
  // windows the codec works through, rows never written; each save
  // replaces the last file. The file is the one frame that compressing the
  // whole payload in one call gives, as files were always written.
  const std::tuple<std::vector<std::uint64_t>, std::uint64_t, int> cases[] = {
      {{3, 4}, 2, 3}, {{}, 1, 5}, {{3, 0}, 2, 2}, {{40, 10}, 30, 70}, {{64, 64}, 20, 10}};
  const std::string file = this->path("d.tsk");
  unsigned seed = 0;
  for (const auto& [shape, compression, updates] : cases) {
    auto d = random_digest<TypeParam>(shape, compression, updates, ++seed);
    d.save(file);
    const Bytes saved = payload_of(d);
    EXPECT_EQ(file_bytes(file), frame_of(saved));
    AnyDigest loaded = load_snapshot(file);
    ASSERT_EQ(loaded.index(), Element<TypeParam>::tag);
    EXPECT_EQ(payload_of(loaded), saved);
    std::get<TensorDigest<TypeParam>>(loaded).save(file);
    EXPECT_EQ(payload_of(load_snapshot(file)), saved);
  }
}

TEST(SnapshotDecoding, FramesJoinCountsMayReachTheirLimitsEveryCutIsShort) {
  const Bytes payload = payload_of(random_digest<float>({3}, 2, 2, 5));
  const Bytes head(payload.begin(), payload.begin() + 50);
  const Bytes tail = Bytes(payload.begin() + 50, payload.end()) + Bytes(7, 0xEE);  // ignored
  EXPECT_EQ(payload_of(from_bytes(skippable_frame(3) + frame_of(head) + skippable_frame(0) +
                                  frame_of(tail))),
            payload);
  FloatDigest full({2}, 1);
  full.n_centroids[1] = 16;
  full.n_buffered = 1;
  EXPECT_NO_THROW(from_bytes(frame_of(payload_of(full))));

  for (std::size_t cut = 1; cut < payload.size(); ++cut) {
    expect_invalid(frame_of(Bytes(payload.begin(), payload.begin() + cut)), kShortPayload);
  }
  const Bytes ints = payload_of(IntDigest({2}, 1));
  EXPECT_STREQ(io_error_of([&] { FloatDigest::from_payload(ints); }).what(),
               "dtype mismatch: snapshot contains tag 1 but expected 0");
  const Bytes cut_ints(ints.begin(), ints.end() - 1);  // decoding fails before the tag check
  EXPECT_STREQ(io_error_of([&] { FloatDigest::from_payload(cut_ints); }).what(), kShortPayload);
}

// The decoder knows a legacy frame (zstd 0.5 to 0.7) only by a start it sees
// whole in one call, so the reader joins one split between pieces.
TEST(SnapshotDecoding, ALegacyFrameIsKnownHoweverItsStartArrives) {
  const Bytes legacy_start = {0x25, 0xB5, 0x2F, 0xFD, 0x00, 0x71};  // zstd 0.5, cut short
  for (const Bytes& file : {legacy_start, frame_of(Bytes{9}) + legacy_start}) {
    for (std::size_t piece = 1; piece <= 8; ++piece) {
      SCOPED_TRACE(piece);
      fuzz::PiecewiseSource pieces(file, piece);
      EXPECT_STREQ(io_error_of([&] { detail::decode_frames(pieces); }).what(), "incomplete frame");
    }
    EXPECT_STREQ(io_error_of([&] { from_bytes(file); }).what(), "incomplete frame");
  }
}

// Files broken in one way or in two: each reports the fault met first
// when the frames are decompressed whole and then decoded field by field,
// then checked for the tag and the invariants in field order.
TEST(SnapshotDecoding, AFileBrokenTwiceReportsItsFirstFault) {
  constexpr std::uint64_t kAll = std::numeric_limits<std::uint64_t>::max();
  constexpr std::uint64_t kTwoTo63 = std::uint64_t{1} << 63;
  const FloatDigest fed = random_digest<float>({2, 3}, 1, 1, 11);
  auto broken = [&](const std::function<void(FloatDigest&)>& breakage) {
    FloatDigest d = fed;
    breakage(d);
    return payload_of(d);
  };
  auto cut = [](Bytes b, std::size_t keep) { return Bytes(b.begin(), b.begin() + keep); };
  auto with = [](Bytes b, std::size_t at, const Bytes& patch) {
    std::copy(patch.begin(), patch.end(), b.begin() + at);
    return b;
  };
  const Bytes good = payload_of(fed);
  const Bytes garbage(16, 'x');
  const Bytes cut_frame = cut(frame_of(good), 20);
  const Bytes wrong_numel = broken([](FloatDigest& d) { d.numel = 5; });
  const std::string invalid = "invalid snapshot: ";
  Bytes lying = frame_of(good);  // declares one byte more than it holds
  ASSERT_EQ(lying[4] & 0xE0, 0x60);  // one frame segment, a 2-byte content size
  ++lying[5];
  // Declaring more than the reader's 256 KiB window, it is decoded block
  // by block, and only the reader compares the sizes.
  const Bytes ending_early = frame_ending_early(std::uint32_t{1} << 20, good);

  const std::pair<Bytes, std::string> cases[] = {
      {{}, "incomplete frame"},
      {cut(frame_of(good), frame_of(good).size() - 1), "incomplete frame"},
      {good, "Unknown frame descriptor"},
      {frame_of(good) + garbage, "Unknown frame descriptor"},
      {frame_with_bad_checksum(good), "Restored data doesn't match checksum"},
      {lying, "Data corruption detected"},
      {lying + garbage, "Data corruption detected"},
      {ending_early, "Data corruption detected"},
      {ending_early + frame_of(garbage), "Data corruption detected"},
      {frame_of({}), "empty snapshot payload"},
      {skippable_frame(5) + frame_of({}), "empty snapshot payload"},
      {frame_of({}) + garbage, "Unknown frame descriptor"},
      {frame_of({2}), "unknown dtype tag 2"},
      {frame_of(Bytes{255} + good), "unknown dtype tag 255"},
      {skippable_frame(5), "empty snapshot payload"},
      {frame_of({2}) + garbage, "Unknown frame descriptor"},
      {frame_of(Bytes{7} + good) + cut_frame, "incomplete frame"},
      {frame_of(Bytes{9}) + frame_with_bad_checksum(good), "Restored data doesn't match checksum"},
      {frame_of(cut(good, 60)), kShortPayload},
      {frame_of(cut(good, 60)) + garbage, "Unknown frame descriptor"},
      {frame_of(cut(good, 60)) + cut_frame, "incomplete frame"},
      {frame_with_bad_checksum(cut(good, 60)), "Restored data doesn't match checksum"},
      {frame_of(with(good, 1, le64(std::uint64_t{1} << 61))), kShortPayload},  // shape entries
      {frame_of(with(good, 41, le64(kAll))), kShortPayload},  // row_buffer entries
      {frame_of(with(good, 41, le64(kAll))) + garbage, "Unknown frame descriptor"},
      {frame_of(cut(wrong_numel, wrong_numel.size() - 1)), kShortPayload},
      {frame_of(wrong_numel) + garbage, "Unknown frame descriptor"},
      {frame_of(wrong_numel + garbage), invalid + "numel is 5, but the shape holds 6 cells"},
      {frame_of(cut(wrong_numel, 90)) + frame_of(Bytes(wrong_numel.begin() + 90, wrong_numel.end())),
       invalid + "numel is 5, but the shape holds 6 cells"},
      {frame_of(broken([](FloatDigest& d) { d.numel = 5; d.buffer_capacity = 7; })),
       invalid + "numel is 5, but the shape holds 6 cells"},
      {frame_of(broken([](FloatDigest& d) { d.buffer_capacity = 7; d.n_centroids[4] = 17; })),
       invalid + "buffer_capacity is 7, expected 2 (2 x compression)"},
      {frame_of(broken([](FloatDigest& d) { d.max_centroids = 15; d.centroids_means.resize(3); })),
       invalid + "max_centroids is 15, expected 16 (6 x compression + 10)"},
      {frame_of(broken([](FloatDigest& d) { d.row_buffer.resize(5); })),
       invalid + "row_buffer holds 5 entries, expected 12"},
      {frame_of(broken([](FloatDigest& d) { d.row_buffer.resize(5); }) + garbage),
       invalid + "row_buffer holds 5 entries, expected 12"},
      {frame_of(broken([](FloatDigest& d) { d.centroids_weights.resize(200); d.mins.pop_back(); })),
       invalid + "centroids_weights holds 200 entries, expected 96"},
      {frame_of(broken([](FloatDigest& d) { d.maxs.push_back(1.0f); })),
       invalid + "maxs holds 7 entries, expected 6"},
      {frame_of(broken([](FloatDigest& d) { d.n_buffered = 2; d.n_centroids[1] = 17; })),
       invalid + "n_buffered is 2, but the buffer holds 2 rows"},
      {frame_of(broken([](FloatDigest& d) { d.n_centroids[1] = 17; d.n_centroids[3] = 99; })),
       invalid + "n_centroids[1] is 17, above max_centroids 16"},
      {frame_of(broken([](FloatDigest& d) { d.shape = {kTwoTo63, 2}; })),
       invalid + "the shape's cell count overflows 64 bits"},
      {frame_of(broken([](FloatDigest& d) { d.centroids_means.resize(5); })),
       invalid + "centroids_means holds 5 entries, expected 96"},
      {frame_of(broken([](FloatDigest& d) { d = FloatDigest({1}, 0); d.n_buffered = 1; })),
       invalid + "n_buffered is 1, but the buffer holds 0 rows"},  // no room for a row
      {frame_of(broken([](FloatDigest& d) {
         d = FloatDigest({1}, 2);
         d.shape = {kTwoTo63};
         d.numel = kTwoTo63;
       })),
       invalid + "row_buffer would need more than 2^64 entries"},
      {frame_of(with(good, 33, le64(kTwoTo63))),
       invalid + "buffer_capacity (2 x compression) overflows 64 bits"},
      {frame_of(cut(with(good, 33, le64(kTwoTo63)), 200)), kShortPayload},
      {zeros_frame(with(cut(good, 49), 41, le64(std::uint64_t{1} << 40)), std::uint64_t{64} << 20),
       kShortPayload},
      {zeros_frame(with(cut(good, 49), 41, le64(std::uint64_t{1} << 40)), std::uint64_t{64} << 20) +
           garbage,
       "Unknown frame descriptor"},
      {zeros_frame(cut(good, 41), std::uint64_t{64} << 20),  // every count after the shape 0
       invalid + "buffer_capacity is 0, expected 2 (2 x compression)"},
  };
  for (const auto& [file, message] : cases) {
    SCOPED_TRACE(message);
    expect_invalid(file, message);
  }
}

TEST_F(SnapshotFiles, SavesReplaceTheTargetWholeOrNotAtAll) {
  using fs::perms;
  const std::string file = path("d.tsk");
  const mode_t previous = ::umask(027);
  IntDigest({3}, 2).save(file);
  ::umask(previous);
  EXPECT_EQ(fs::status(file).permissions(),
            perms::owner_read | perms::owner_write | perms::group_read);
  const Bytes old = payload_of(IntDigest({3}, 2));
  ASSERT_LT(fs::file_size(file), 200u);

  fs::create_directory(path("sub"));
  auto big = random_digest<float>({30, 30}, 5, 21, 8);  // one row left buffered
  const IoError missing_dir = io_error_of([&] { big.save(path("no/d.tsk")); });
  EXPECT_EQ(missing_dir.kind(), IoErrorKind::Os);
  EXPECT_STREQ(missing_dir.what(), "No such file or directory (os error 2)");
  EXPECT_EQ(big.n_buffered, 0u);  // flushed all the same
  EXPECT_STREQ(io_error_of([&] { big.save(path("sub")); }).what(), "Is a directory (os error 21)");

  // A file size limit makes the write of the bigger snapshot fail midway.
  rlimit saved;
  ::getrlimit(RLIMIT_FSIZE, &saved);
  const rlimit limit{200, saved.rlim_max};
  const auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
  ::setrlimit(RLIMIT_FSIZE, &limit);
  const IoError too_large = io_error_of([&] { big.save(file); });
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, old_handler);
  EXPECT_STREQ(too_large.what(), "File too large (os error 27)");
  EXPECT_EQ(payload_of(load_snapshot(file)), old);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 2);  // d.tsk and sub
}

// Has the kernel refuse this process every unnamed file (O_TMPFILE), as file
// systems without them do.
bool refuse_unnamed_files() {
  constexpr std::uint32_t kUnnamed = O_TMPFILE & ~O_DIRECTORY;
  constexpr std::uint32_t kFlagsLowHalf = offsetof(seccomp_data, args[2]) +
                                          (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? 4 : 0);
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, kFlagsLowHalf),
      BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, kUnnamed, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EOPNOTSUPP),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  const sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0 &&
         ::open(".", O_TMPFILE | O_WRONLY, 0600) < 0 && errno == EOPNOTSUPP;
}

TEST_F(SnapshotFiles, WhereUnnamedFilesAreRefusedASaveReplacesTheTargetThroughANamedOne) {
  const std::string file = path("d.tsk");
  IntDigest({3}, 2).save(file);
  ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
  struct stat before;
  ASSERT_EQ(::stat(file.c_str(), &before), 0);
  auto saved = random_digest<float>({30, 30}, 5, 21, 8);
  saved.flush();
  // In a child process, which alone takes the refusal on.
  EXPECT_EXIT(
      {
        if (!refuse_unnamed_files()) std::exit(2);
        saved.save(file);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(payload_of(load_snapshot(file)), payload_of(saved));
  struct stat after;
  ASSERT_EQ(::stat(file.c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino);  // renamed over it, not written in place
  EXPECT_EQ(after.st_mode & 0777, 0640u);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 1);
}

}  // namespace
}  // namespace tesrak
