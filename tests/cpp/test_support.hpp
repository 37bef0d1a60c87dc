#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "tesrak/tensor_digest.hpp"

namespace tesrak::testing {

// Gives each test a fresh directory, removed with all it holds afterwards.
class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "tesrak-test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  std::filesystem::path dir_;
};

// The centroids of one cell, copied out of the digest.
struct Centroids {
  std::vector<float> means;
  std::vector<std::uint32_t> weights;
};

template <typename T>
Centroids centroids_of(const TensorDigest<T>& d, std::uint64_t cell) {
  const CellSketch s = d.cell_sketch(cell);
  return {std::vector<float>(s.means.begin(), s.means.end()),
          std::vector<std::uint32_t>(s.weights.begin(), s.weights.end())};
}

// Feeds a one-cell digest one value per update.
template <typename T>
void feed(TensorDigest<T>& d, std::span<const T> values) {
  for (const T& v : values) d.update(std::span<const T>(&v, 1));
}

template <typename T>
void feed(TensorDigest<T>& d, std::initializer_list<T> values) {
  feed(d, std::span<const T>(values.begin(), values.size()));
}

}  // namespace tesrak::testing
