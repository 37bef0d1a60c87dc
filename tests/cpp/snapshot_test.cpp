#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
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
  const std::size_t n = ZSTD_compress(out.data(), out.size(), content.data(), content.size(), 3);
  EXPECT_FALSE(ZSTD_isError(n));
  out.resize(n);
  return out;
}

Bytes skippable_frame(std::uint32_t size) {
  Bytes out = {0x50, 0x2A, 0x4D, 0x18};
  for (int b = 0; b < 4; ++b) out.push_back(static_cast<std::uint8_t>(size >> (8 * b)));
  out.resize(out.size() + size, 0xAB);
  return out;
}

Bytes concat(Bytes a, const Bytes& b) {
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

// The payload a digest would be saved with, for a digest held in either
// alternative.
Bytes payload_of(const AnyDigest& any) {
  return std::visit([](const auto& d) { return detail::encode_payload(d); }, any);
}

template <typename Call>
IoError io_error_of(Call&& call) {
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

// ---------------------------------------------------------------- layout

TEST(SnapshotLayout, OneCellAtCompressionOneIs269Bytes) {
  const Bytes f = payload_of(FloatDigest({1}, 1));
  ASSERT_EQ(f.size(), 269u);
  EXPECT_EQ(f[0], 0);
  EXPECT_EQ(u64_at(f, 1), 1u);   // shape count
  EXPECT_EQ(u64_at(f, 9), 1u);   // shape[0]
  EXPECT_EQ(u64_at(f, 17), 1u);  // numel
  EXPECT_EQ(u64_at(f, 25), 1u);  // compression
  EXPECT_EQ(u64_at(f, 33), 2u);  // row_buffer count
  const Bytes inf_twice = {0x00, 0x00, 0x80, 0x7F, 0x00, 0x00, 0x80, 0x7F};
  EXPECT_EQ(Bytes(f.begin() + 41, f.begin() + 49), inf_twice);
  EXPECT_EQ(u64_at(f, 49), 2u);   // buffer_capacity
  EXPECT_EQ(u64_at(f, 57), 0u);   // n_buffered
  EXPECT_EQ(u64_at(f, 65), 16u);  // max_centroids
  EXPECT_EQ(u64_at(f, 73), 16u);  // centroids_means count

  const Bytes i = payload_of(IntDigest({1}, 1));
  ASSERT_EQ(i.size(), 269u);
  EXPECT_EQ(i[0], 1);
  EXPECT_EQ(Bytes(i.begin() + 1, i.begin() + 41), Bytes(f.begin() + 1, f.begin() + 41));
  const Bytes int_max_twice = {0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0x7F};
  EXPECT_EQ(Bytes(i.begin() + 41, i.begin() + 49), int_max_twice);
}

TEST(SnapshotLayout, SizeFollowsTheShapeAndCompression) {
  const Bytes scalar = payload_of(FloatDigest({}, 3));
  EXPECT_EQ(scalar.size(), 105u + 56 * 3 + 100);
  EXPECT_EQ(u64_at(scalar, 1), 0u);  // no shape entries
  EXPECT_EQ(u64_at(scalar, 9), 1u);  // numel

  const IntDigest no_cells({2, 0, 3}, 4);
  const Bytes empty = payload_of(no_cells);
  EXPECT_EQ(empty.size(), 105u + 8 * 3);  // every list but the shape empty
  EXPECT_EQ(u64_at(empty, 33), 0u);       // numel
  const AnyDigest back = from_bytes(frame_of(empty));
  ASSERT_EQ(back.index(), 1u);
  EXPECT_EQ(std::get<IntDigest>(back).shape, (std::vector<std::uint64_t>{2, 0, 3}));
  EXPECT_EQ(payload_of(back), empty);

  const auto d = random_digest<float>({2, 3}, 5, 4, 1);
  EXPECT_EQ(payload_of(d).size(), 105u + 8 * 2 + 6 * (56 * 5 + 100));
  EXPECT_EQ(detail::payload_size(d), payload_of(d).size());
}

// ------------------------------------------------------------ round trips

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

template <typename T>
class SnapshotRoundTrip : public SnapshotFiles {};
using ElementTypes = ::testing::Types<float, std::int32_t>;
TYPED_TEST_SUITE(SnapshotRoundTrip, ElementTypes);

TYPED_TEST(SnapshotRoundTrip, SaveLoadSaveIsBitForBit) {
  struct Case {
    std::vector<std::uint64_t> shape;
    std::uint64_t compression;
    int updates;
  };
  // Buffered rows left over, a stream long enough for several flushes,
  // shapes without cells or dimensions, and payloads beyond the decoder's
  // own block of output.
  const Case cases[] = {{{3, 4}, 2, 3},   {{2, 2, 5}, 4, 61}, {{}, 1, 5},
                        {{3, 0}, 2, 2},   {{20, 10}, 30, 70}, {{40, 10}, 30, 0}};
  unsigned seed = 0;
  for (const Case& c : cases) {
    auto d = random_digest<TypeParam>(c.shape, c.compression, c.updates, ++seed);
    const std::string file = this->path("d.tsk");
    d.save(file);
    EXPECT_EQ(d.n_buffered, 0u);  // the save flushed
    const Bytes saved = payload_of(d);

    AnyDigest loaded = load_snapshot(file);
    ASSERT_EQ(loaded.index(), Element<TypeParam>::tag);
    EXPECT_EQ(payload_of(loaded), saved);
    std::get<TensorDigest<TypeParam>>(loaded).save(file);
    EXPECT_EQ(payload_of(load_snapshot(file)), saved);
  }
}

TYPED_TEST(SnapshotRoundTrip, ALoadedDigestCarriesOn) {
  auto d = random_digest<TypeParam>({4}, 3, 7, 9);
  const std::string file = this->path("d.tsk");
  d.save(file);
  auto loaded = std::get<TensorDigest<TypeParam>>(load_snapshot(file));
  const std::vector<TypeParam> row = {1, 2, 3, 4};
  d.update(row);
  loaded.update(row);
  const float levels[] = {0.1f, 0.5f, 0.9f};
  EXPECT_EQ(loaded.cell_quantiles(2, levels), d.cell_quantiles(2, levels));
  EXPECT_EQ(payload_of(loaded), payload_of(d));
}

TEST_F(SnapshotFiles, TheFileIsOneFrameOfThePayload) {
  auto d = random_digest<float>({5}, 2, 3, 4);
  d.save(path("d.tsk"));
  std::ifstream in(path("d.tsk"), std::ios::binary);
  const Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const Bytes payload = payload_of(d);
  EXPECT_EQ(ZSTD_findFrameCompressedSize(file.data(), file.size()), file.size());
  Bytes content(payload.size() + 1);
  EXPECT_EQ(ZSTD_decompress(content.data(), content.size(), file.data(), file.size()),
            payload.size());
  content.pop_back();
  EXPECT_EQ(content, payload);
}

// ----------------------------------------------------- decoding failures

TEST(SnapshotDecoding, FailsOnEveryBrokenFileWithItsOwnMessage) {
  const Bytes payload = payload_of(FloatDigest({2}, 1));
  const Bytes frame = frame_of(payload);
  expect_invalid({}, "incomplete frame");
  expect_invalid(Bytes(frame.begin(), frame.end() - 1), "incomplete frame");
  expect_invalid(Bytes(frame.begin(), frame.begin() + 4), "incomplete frame");
  expect_invalid(Bytes(payload.begin(), payload.end()), "Unknown frame descriptor");
  expect_invalid(concat(frame, Bytes(16, 'x')), "Unknown frame descriptor");
  expect_invalid(frame_of({}), "empty snapshot payload");
  expect_invalid(skippable_frame(5), "empty snapshot payload");
  expect_invalid(frame_of({2}), "unknown dtype tag 2");
  expect_invalid(frame_of(concat({255}, payload)), "unknown dtype tag 255");

  Bytes corrupt = frame;
  corrupt[corrupt.size() / 2] ^= 0xFF;
  corrupt[corrupt.size() / 2 + 1] ^= 0xFF;
  const IoError e = io_error_of([&] { from_bytes(corrupt); });
  EXPECT_EQ(e.kind(), IoErrorKind::InvalidData);
}

TEST(SnapshotDecoding, AShortPayloadFailsAtEveryCut) {
  for (const Bytes& payload : {payload_of(FloatDigest({2, 1}, 1)), payload_of(IntDigest({}, 1))}) {
    for (std::size_t cut = 1; cut < payload.size(); ++cut) {
      SCOPED_TRACE(cut);
      expect_invalid(frame_of(Bytes(payload.begin(), payload.begin() + cut)), kShortPayload);
    }
  }
  const IoError e = io_error_of([] { FloatDigest::from_payload({}); });
  EXPECT_EQ(std::string(e.what()), kShortPayload);
}

TEST(SnapshotDecoding, AForgedCountFailsWithoutReservingMemory) {
  Bytes payload = payload_of(FloatDigest({1}, 1));
  for (int b = 0; b < 8; ++b) payload[33 + b] = 0xFF;  // row_buffer count 2^64 - 1
  expect_invalid(frame_of(payload), kShortPayload);
}

TEST(SnapshotDecoding, FramesJoinIntoOnePayloadAndSkippableFramesArePassedOver) {
  const auto d = random_digest<std::int32_t>({3}, 2, 2, 5);
  const Bytes payload = payload_of(d);
  const Bytes head(payload.begin(), payload.begin() + 50);
  const Bytes tail(payload.begin() + 50, payload.end());
  const Bytes file = concat(concat(concat(skippable_frame(3), frame_of(head)), skippable_frame(0)),
                            concat(frame_of(tail), skippable_frame(9)));
  EXPECT_EQ(payload_of(from_bytes(file)), payload);
}

TEST(SnapshotDecoding, BytesAfterTheLastFieldAreIgnored) {
  const Bytes payload = payload_of(FloatDigest({2}, 1));
  EXPECT_EQ(payload_of(from_bytes(frame_of(concat(payload, Bytes(7, 0xEE))))), payload);
}

TEST(SnapshotDecoding, ATagOfTheOtherTypeIsAMismatch) {
  const Bytes ints = payload_of(IntDigest({2}, 1));
  EXPECT_EQ(std::string(io_error_of([&] { FloatDigest::from_payload(ints); }).what()),
            "dtype mismatch: snapshot contains tag 1 but expected 0");
  const Bytes floats = payload_of(FloatDigest({2}, 1));
  EXPECT_EQ(std::string(io_error_of([&] { IntDigest::from_payload(floats); }).what()),
            "dtype mismatch: snapshot contains tag 0 but expected 1");
  // Decoding comes first: a short payload is short whatever its tag.
  const Bytes cut(ints.begin(), ints.end() - 1);
  EXPECT_EQ(std::string(io_error_of([&] { FloatDigest::from_payload(cut); }).what()),
            kShortPayload);
}

TEST(SnapshotDecoding, RefusesPayloadsThatBreakTheDigestInvariants) {
  constexpr std::uint64_t kTwoTo40 = std::uint64_t{1} << 40;
  struct Case {
    const char* message;
    std::function<void(FloatDigest&)> breakage;
  };
  const Case cases[] = {
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
      {"centroids_weights holds 97 entries, expected 96",
       [](FloatDigest& d) { d.centroids_weights.push_back(0); }},
      {"n_centroids holds 0 entries, expected 6", [](FloatDigest& d) { d.n_centroids.clear(); }},
      {"total_weights holds 5 entries, expected 6",
       [](FloatDigest& d) { d.total_weights.pop_back(); }},
      {"mins holds 7 entries, expected 6", [](FloatDigest& d) { d.mins.push_back(0); }},
      {"maxs holds 5 entries, expected 6", [](FloatDigest& d) { d.maxs.pop_back(); }},
      {"n_buffered is 2, but the buffer holds 2 rows", [](FloatDigest& d) { d.n_buffered = 2; }},
      {"n_centroids[4] is 17, above max_centroids 16",
       [](FloatDigest& d) { d.n_centroids[4] = 17; }},
      {"row_buffer would need more than 2^64 entries",
       [](FloatDigest& d) {
         d.shape = {kTwoTo40};
         d.numel = kTwoTo40;
         d.compression = std::uint64_t{1} << 30;
         d.buffer_capacity = std::uint64_t{1} << 31;
         d.max_centroids = 6 * d.compression + 10;
       }},
  };
  for (const Case& c : cases) {
    FloatDigest d({2, 3}, 1);
    c.breakage(d);
    expect_invalid(frame_of(payload_of(d)), std::string("invalid snapshot: ") + c.message);
  }
}

TEST(SnapshotDecoding, AcceptsWhatTheInvariantsAllow) {
  FloatDigest full_cell({2}, 1);
  full_cell.n_centroids[1] = 16;
  full_cell.n_buffered = 1;  // one row pending, still inside the buffer
  EXPECT_NO_THROW(from_bytes(frame_of(payload_of(full_cell))));

  // Without cells there are no rows to hold, whatever the count says.
  IntDigest no_cells({0, 4}, 1);
  no_cells.n_buffered = 99;
  auto loaded = std::get<IntDigest>(from_bytes(frame_of(payload_of(no_cells))));
  loaded.update(std::vector<std::int32_t>{});
  loaded.flush();
  EXPECT_EQ(loaded.n_buffered, 0u);

  // With cells, a compression of 0 leaves no room for a pending row.
  FloatDigest no_rows({1}, 0);
  EXPECT_NO_THROW(from_bytes(frame_of(payload_of(no_rows))));
  no_rows.n_buffered = 1;
  expect_invalid(frame_of(payload_of(no_rows)),
                 "invalid snapshot: n_buffered is 1, but the buffer holds 0 rows");
}

// ------------------------------------------------------------- the files

TEST_F(SnapshotFiles, MissingFileIsAnOsError) {
  const IoError e = io_error_of([&] { load_snapshot(path("absent.tsk")); });
  EXPECT_EQ(e.kind(), IoErrorKind::Os);
  EXPECT_EQ(e.os_code(), ENOENT);
  EXPECT_EQ(std::string(e.what()), "No such file or directory (os error 2)");
}

TEST_F(SnapshotFiles, APathWithANulByteIsRefused) {
  FloatDigest d({1}, 1);
  d.update(std::vector<float>{1});
  const std::string bad = path("a") + std::string(1, '\0') + "b";
  for (const IoError& e : {io_error_of([&] { d.save(bad); }),
                           io_error_of([&] { load_snapshot(bad); })}) {
    EXPECT_EQ(e.kind(), IoErrorKind::InvalidInput);
    EXPECT_EQ(std::string(e.what()), "file name contained an unexpected NUL byte");
  }
  EXPECT_EQ(d.n_buffered, 0u);
  EXPECT_TRUE(entries().empty());
}

TEST_F(SnapshotFiles, SaveReportsTheSystemsErrors) {
  FloatDigest d({1}, 1);
  d.update(std::vector<float>{1});
  const IoError missing_dir = io_error_of([&] { d.save(path("no/such/dir.tsk")); });
  EXPECT_EQ(std::string(missing_dir.what()), "No such file or directory (os error 2)");
  EXPECT_EQ(d.n_buffered, 0u);
  fs::create_directory(path("sub"));
  const IoError directory = io_error_of([&] { d.save(path("sub")); });
  EXPECT_EQ(std::string(directory.what()), "Is a directory (os error 21)");
  EXPECT_EQ(entries(), std::vector<std::string>{"sub"});
}

TEST_F(SnapshotFiles, SavingAgainReplacesTheWholeFileAndLeavesNothingElse) {
  const std::string file = path("d.tsk");
  random_digest<float>({40, 40}, 5, 30, 2).save(file);
  const auto small = random_digest<std::int32_t>({2}, 1, 1, 3);
  auto copy = small;
  copy.save(file);
  EXPECT_EQ(payload_of(load_snapshot(file)), payload_of(copy));
  EXPECT_EQ(entries(), std::vector<std::string>{"d.tsk"});
}

TEST_F(SnapshotFiles, AFailedWriteKeepsTheOldFile) {
  const std::string file = path("d.tsk");
  FloatDigest old({1}, 1);
  old.save(file);
  ASSERT_LT(fs::file_size(file), 200u);

  // A file size limit makes the write of the bigger snapshot fail midway.
  rlimit saved;
  ::getrlimit(RLIMIT_FSIZE, &saved);
  const rlimit limit{200, saved.rlim_max};
  auto* const old_handler = ::signal(SIGXFSZ, SIG_IGN);
  ::setrlimit(RLIMIT_FSIZE, &limit);
  auto big = random_digest<float>({30, 30}, 5, 20, 8);
  const IoError e = io_error_of([&] { big.save(file); });
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, old_handler);

  EXPECT_EQ(std::string(e.what()), "File too large (os error 27)");
  EXPECT_EQ(payload_of(load_snapshot(file)), payload_of(old));
  EXPECT_EQ(entries(), std::vector<std::string>{"d.tsk"});
}

TEST_F(SnapshotFiles, NewFilesFollowTheUmaskAndReplacedFilesKeepTheirMode) {
  const mode_t previous = ::umask(027);
  FloatDigest d({1}, 1);
  d.save(path("new.tsk"));
  ::umask(previous);
  EXPECT_EQ(fs::status(path("new.tsk")).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

  fs::permissions(path("new.tsk"), fs::perms::owner_read | fs::perms::owner_write);
  d.save(path("new.tsk"));
  EXPECT_EQ(fs::status(path("new.tsk")).permissions(),
            fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(SnapshotFiles, SavingThroughASymlinkReplacesTheFileItLeadsTo) {
  FloatDigest first({1}, 1);
  first.save(path("real.tsk"));
  fs::create_symlink("real.tsk", path("link.tsk"));
  IntDigest second({3}, 2);
  second.save(path("link.tsk"));
  EXPECT_TRUE(fs::is_symlink(path("link.tsk")));
  EXPECT_EQ(payload_of(load_snapshot(path("real.tsk"))), payload_of(second));
}

TEST_F(SnapshotFiles, PathsAreUtf8Text) {
  FloatDigest d({2}, 1);
  d.save(path("schnäpschen-📸.tsk"));
  EXPECT_EQ(payload_of(load_snapshot(path("schnäpschen-📸.tsk"))), payload_of(d));
}

}  // namespace
}  // namespace tesrak
