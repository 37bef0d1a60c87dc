#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>
#include <zstd.h>

#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "snapshot_payload.hpp"
#include "tesrak/errors.hpp"
#include "tesrak/tensor_digest.hpp"

namespace tesrak {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* kShortPayload = "io error: failed to fill whole buffer";

Bytes frame_of(const Bytes& content) {
  Bytes out(ZSTD_compressBound(content.size()));
  out.resize(ZSTD_compress(out.data(), out.size(), content.data(), content.size(), 3));
  return out;
}

Bytes skippable_frame(std::uint8_t size) {
  Bytes out = {0x50, 0x2A, 0x4D, 0x18, size, 0, 0, 0};
  out.resize(out.size() + size, 0xAB);
  return out;
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::uint64_t u64_at(const Bytes& payload, std::size_t offset) {
  std::uint64_t v = 0;
  for (int b = 7; b >= 0; --b) v = (v << 8) | payload[offset + b];
  return v;
}

template <typename T>
Bytes payload_of(const TensorDigest<T>& d) {
  return detail::encode_payload(d);
}

Bytes payload_of(const AnyDigest& any) {
  return std::visit([](const auto& d) { return detail::encode_payload(d); }, any);
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

void expect_invalid(const Bytes& file, const std::string& message) {
  const IoError e = io_error_of([&] { from_bytes(file); });
  EXPECT_EQ(e.kind(), IoErrorKind::InvalidData);
  EXPECT_EQ(std::string(e.what()), message);
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

TEST(SnapshotLayout, FieldsLittleEndianWithCountsBeforeLists) {
  const Bytes f = payload_of(FloatDigest({1}, 1));
  ASSERT_EQ(f.size(), 269u);
  EXPECT_EQ(f[0], 0);
  // shape count, shape[0], numel, compression, row_buffer count
  for (std::size_t offset : {1, 9, 17, 25}) EXPECT_EQ(u64_at(f, offset), 1u);
  EXPECT_EQ(u64_at(f, 33), 2u);
  EXPECT_EQ(Bytes(f.begin() + 41, f.begin() + 49), (Bytes{0, 0, 0x80, 0x7F, 0, 0, 0x80, 0x7F}));
  EXPECT_EQ(u64_at(f, 65), 16u);  // max_centroids

  const Bytes i = payload_of(IntDigest({1}, 1));
  ASSERT_EQ(i.size(), 269u);
  EXPECT_EQ(i[0], 1);
  EXPECT_EQ(Bytes(i.begin() + 41, i.begin() + 45), (Bytes{0xFF, 0xFF, 0xFF, 0x7F}));

  const Bytes scalar = payload_of(FloatDigest({}, 3));
  EXPECT_EQ(scalar.size(), 105u + 56 * 3 + 100);
  EXPECT_EQ(u64_at(scalar, 1), 0u);  // no shape entries, then numel 1
  EXPECT_EQ(u64_at(scalar, 9), 1u);

  const Bytes no_cells = payload_of(IntDigest({2, 0, 3}, 4));
  EXPECT_EQ(no_cells.size(), 105u + 8 * 3);  // every list but the shape empty
  EXPECT_EQ(payload_of(from_bytes(frame_of(no_cells))), no_cells);
}

template <typename T>
class SnapshotRoundTrip : public ::testing::Test {};
using ElementTypes = ::testing::Types<float, std::int32_t>;
TYPED_TEST_SUITE(SnapshotRoundTrip, ElementTypes);

TYPED_TEST(SnapshotRoundTrip, SaveLoadSaveIsBitForBit) {
  const std::string file = (fs::temp_directory_path() / ("tesrak-round-trip-" +
                            std::to_string(::getpid()) + "-" + Element<TypeParam>::name.data()))
                               .string();
  // Rows left buffered, several flushes, no cells, no dimensions, and
  // payloads larger than the decoder's own output block; each save replaces
  // the last file.
  const std::tuple<std::vector<std::uint64_t>, std::uint64_t, int> cases[] = {
      {{3, 4}, 2, 3},  {{2, 2, 5}, 4, 61}, {{}, 1, 5},
      {{3, 0}, 2, 2},  {{20, 10}, 30, 70}, {{40, 10}, 30, 0}};
  unsigned seed = 0;
  for (const auto& [shape, compression, updates] : cases) {
    auto d = random_digest<TypeParam>(shape, compression, updates, ++seed);
    d.save(file);
    EXPECT_EQ(d.n_buffered, 0u);
    const Bytes saved = payload_of(d);
    AnyDigest loaded = load_snapshot(file);
    ASSERT_EQ(loaded.index(), Element<TypeParam>::tag);
    EXPECT_EQ(payload_of(loaded), saved);
    std::get<TensorDigest<TypeParam>>(loaded).save(file);
    EXPECT_EQ(payload_of(load_snapshot(file)), saved);
  }
  fs::remove(file);
}

TEST(SnapshotDecoding, EachBrokenFileHasItsOwnMessage) {
  const Bytes payload = payload_of(FloatDigest({2}, 1));
  const Bytes frame = frame_of(payload);
  expect_invalid({}, "incomplete frame");
  expect_invalid(Bytes(frame.begin(), frame.end() - 1), "incomplete frame");
  expect_invalid(payload, "Unknown frame descriptor");
  expect_invalid(frame + Bytes(16, 'x'), "Unknown frame descriptor");
  expect_invalid(frame_of({}), "empty snapshot payload");
  expect_invalid(skippable_frame(5), "empty snapshot payload");
  expect_invalid(frame_of({2}), "unknown dtype tag 2");
  expect_invalid(frame_of(Bytes{255} + payload), "unknown dtype tag 255");

  for (std::size_t cut = 1; cut < payload.size(); ++cut) {
    expect_invalid(frame_of(Bytes(payload.begin(), payload.begin() + cut)), kShortPayload);
  }
  Bytes forged = payload;
  for (int b = 0; b < 8; ++b) forged[33 + b] = 0xFF;  // 2^64 - 1 row_buffer entries
  expect_invalid(frame_of(forged), kShortPayload);
}

TEST(SnapshotDecoding, FramesJoinSkippableFramesAndTrailingFieldBytesAreIgnored) {
  const Bytes payload = payload_of(random_digest<std::int32_t>({3}, 2, 2, 5));
  const Bytes head(payload.begin(), payload.begin() + 50);
  const Bytes tail = Bytes(payload.begin() + 50, payload.end()) + Bytes(7, 0xEE);
  const Bytes file = skippable_frame(3) + frame_of(head) + skippable_frame(0) + frame_of(tail);
  EXPECT_EQ(payload_of(from_bytes(file)), payload);
}

TEST(SnapshotDecoding, ATagOfTheOtherTypeIsAMismatchOnceDecoded) {
  const Bytes ints = payload_of(IntDigest({2}, 1));
  EXPECT_EQ(std::string(io_error_of([&] { FloatDigest::from_payload(ints); }).what()),
            "dtype mismatch: snapshot contains tag 1 but expected 0");
  const Bytes cut(ints.begin(), ints.end() - 1);
  EXPECT_EQ(std::string(io_error_of([&] { FloatDigest::from_payload(cut); }).what()),
            kShortPayload);
}

TEST(SnapshotDecoding, RefusesPayloadsThatBreakTheDigestInvariants) {
  constexpr std::uint64_t kTwoTo40 = std::uint64_t{1} << 40;
  const std::pair<const char*, std::function<void(FloatDigest&)>> cases[] = {
      {"numel is 5, but the shape holds 6 cells", [](FloatDigest& d) { d.numel = 5; }},
      {"the shape's cell count overflows 64 bits",
       [](FloatDigest& d) { d.shape = {kTwoTo40, kTwoTo40}; }},
      {"buffer_capacity is 3, expected 2 (2 x compression)",
       [](FloatDigest& d) { d.buffer_capacity = 3; }},
      {"max_centroids is 17, expected 16 (6 x compression + 10)",
       [](FloatDigest& d) { d.max_centroids = 17; }},
      {"buffer_capacity (2 x compression) overflows 64 bits",
       [](FloatDigest& d) { d.compression = std::uint64_t{1} << 63; }},
      {"row_buffer holds 11 entries, expected 12", [](FloatDigest& d) { d.row_buffer.pop_back(); }},
      {"centroids_means holds 5 entries, expected 96",
       [](FloatDigest& d) { d.centroids_means.resize(5); }},
      {"n_centroids holds 0 entries, expected 6", [](FloatDigest& d) { d.n_centroids.clear(); }},
      {"mins holds 7 entries, expected 6", [](FloatDigest& d) { d.mins.push_back(0); }},
      {"n_buffered is 2, but the buffer holds 2 rows", [](FloatDigest& d) { d.n_buffered = 2; }},
      {"n_centroids[4] is 17, above max_centroids 16",
       [](FloatDigest& d) { d.n_centroids[4] = 17; }},
      {"row_buffer would need more than 2^64 entries",
       [](FloatDigest& d) {
         d.shape = {kTwoTo40};
         d.numel = kTwoTo40;
         d.compression = std::uint64_t{1} << 30;
         d.buffer_capacity = 2 * d.compression;
         d.max_centroids = 6 * d.compression + 10;
       }},
  };
  for (const auto& [message, breakage] : cases) {
    FloatDigest d({2, 3}, 1);
    breakage(d);
    expect_invalid(frame_of(payload_of(d)), std::string("invalid snapshot: ") + message);
  }

  FloatDigest full({2}, 1);
  full.n_centroids[1] = 16;
  full.n_buffered = 1;
  EXPECT_NO_THROW(from_bytes(frame_of(payload_of(full))));
  IntDigest no_cells({0, 4}, 1);  // no rows to hold, whatever the count says
  no_cells.n_buffered = 99;
  EXPECT_NO_THROW(from_bytes(frame_of(payload_of(no_cells))));
  FloatDigest no_rows({1}, 0);  // with cells, compression 0 leaves no room for a row
  no_rows.n_buffered = 1;
  expect_invalid(frame_of(payload_of(no_rows)),
                 "invalid snapshot: n_buffered is 1, but the buffer holds 0 rows");
}

class SnapshotFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "tesrak-snapshot-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path dir_;
};

TEST_F(SnapshotFiles, OperatingSystemErrorsAndNulBytes) {
  const IoError missing = io_error_of([&] { load_snapshot(path("absent.tsk")); });
  EXPECT_EQ(missing.kind(), IoErrorKind::Os);
  EXPECT_EQ(std::string(missing.what()), "No such file or directory (os error 2)");

  FloatDigest d({1}, 1);
  d.update(std::vector<float>{1});
  EXPECT_EQ(std::string(io_error_of([&] { d.save(path("no/dir.tsk")); }).what()),
            "No such file or directory (os error 2)");
  EXPECT_EQ(d.n_buffered, 0u);  // flushed all the same
  fs::create_directory(path("sub"));
  EXPECT_EQ(std::string(io_error_of([&] { d.save(path("sub")); }).what()),
            "Is a directory (os error 21)");

  const std::string nul = path("a") + '\0' + "b";
  for (const IoError& e :
       {io_error_of([&] { d.save(nul); }), io_error_of([&] { load_snapshot(nul); })}) {
    EXPECT_EQ(e.kind(), IoErrorKind::InvalidInput);
    EXPECT_EQ(std::string(e.what()), "file name contained an unexpected NUL byte");
  }
  EXPECT_EQ(entries(), std::vector<std::string>{"sub"});
}

TEST_F(SnapshotFiles, AFailedWriteKeepsTheOldFileAndLeavesNoTemporary) {
  const std::string file = path("d.tsk");
  const FloatDigest old({1}, 1);
  FloatDigest(old).save(file);
  ASSERT_LT(fs::file_size(file), 200u);

  // A file size limit makes the write of a bigger snapshot fail midway.
  rlimit saved;
  ::getrlimit(RLIMIT_FSIZE, &saved);
  const rlimit limit{200, saved.rlim_max};
  const auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
  ::setrlimit(RLIMIT_FSIZE, &limit);
  auto big = random_digest<float>({30, 30}, 5, 20, 8);
  const IoError e = io_error_of([&] { big.save(file); });
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, old_handler);

  EXPECT_EQ(std::string(e.what()), "File too large (os error 27)");
  EXPECT_EQ(payload_of(load_snapshot(file)), payload_of(old));
  EXPECT_EQ(entries(), std::vector<std::string>{"d.tsk"});
}

TEST_F(SnapshotFiles, ModesAndSymbolicLinks) {
  const mode_t previous = ::umask(027);
  FloatDigest d({1}, 1);
  d.save(path("new.tsk"));
  ::umask(previous);
  using fs::perms;
  EXPECT_EQ(fs::status(path("new.tsk")).permissions(),
            perms::owner_read | perms::owner_write | perms::group_read);

  fs::permissions(path("new.tsk"), perms::owner_read | perms::owner_write);
  fs::create_symlink("new.tsk", path("link.tsk"));
  const IntDigest other({3}, 2);
  IntDigest(other).save(path("link.tsk"));
  EXPECT_TRUE(fs::is_symlink(path("link.tsk")));
  EXPECT_EQ(fs::status(path("new.tsk")).permissions(), perms::owner_read | perms::owner_write);
  EXPECT_EQ(payload_of(load_snapshot(path("new.tsk"))), payload_of(other));
}

}  // namespace
}  // namespace tesrak
