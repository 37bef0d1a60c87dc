// Family labels and the reference profile table.
#include <gtest/gtest.h>

#include <barrier>
#include <cstdlib>
#include <iomanip>
#include <sstream>
#include <thread>
#include <vector>

#include "reference_table.hpp"
#include "tesrak/distribution.hpp"

namespace tesrak {
namespace {

TEST(Labels, NameEveryCodeAndIgnoreStreamWidth) {
  EXPECT_EQ(label(Distribution::Normal), "Normal");
  EXPECT_EQ(label(Distribution::Uniform), "Uniform");
  EXPECT_EQ(label(Distribution::Laplace), "Laplace");
  EXPECT_EQ(label(Distribution::LogNormal), "LogNormal");
  EXPECT_EQ(label(Distribution::BiNormal), "BiNormal");
  EXPECT_EQ(label(Distribution::Unknown), "Unknown");

  std::ostringstream os;
  os << std::setw(10) << std::setfill('*') << Distribution::LogNormal << '|'
     << std::left << std::setw(12) << Distribution::Unknown << "|" << std::setprecision(2)
     << Distribution::BiNormal;
  // Neither padded nor leaving the width behind for the next item.
  EXPECT_EQ(os.str(), "LogNormal|Unknown|BiNormal");
}

struct CheckRow {
  Distribution family;
  float checks[6];  // slots 0, 12, 24, 25, 37, 49
};

TEST(ReferenceTable, MatchesKnownSlotsToFourDecimals) {
  const CheckRow rows[] = {
      {Distribution::Normal, {-2.3393f, -0.6782f, -0.0252f, 0.0252f, 0.6782f, 2.3393f}},
      {Distribution::Uniform, {-1.4412f, -0.7353f, -0.0294f, 0.0294f, 0.7353f, 1.4412f}},
      {Distribution::Laplace, {-3.4333f, -0.6083f, -0.0177f, 0.0177f, 0.6083f, 3.4333f}},
      {Distribution::LogNormal, {-0.7734f, -0.4205f, -0.0212f, 0.0218f, 0.8255f, 7.9204f}},
      {Distribution::BiNormal, {-1.7209f, -0.7876f, -0.0509f, 0.0509f, 0.7876f, 1.7209f}},
  };
  const ReferenceTable& table = ref_profiles();
  for (const CheckRow& c : rows) {
    const auto& row = table[static_cast<std::size_t>(c.family)];
    SCOPED_TRACE(label(c.family));
    const std::size_t slots[] = {0, 12, 24, 25, 37, 49};
    for (std::size_t s = 0; s < 6; ++s) EXPECT_NEAR(row[slots[s]], c.checks[s], 5e-5f) << slots[s];
  }
}

TEST(ReferenceTable, RowsIncreaseThenPadWithZerosAndSymmetricFamiliesMirror) {
  const ReferenceTable& table = ref_profiles();
  for (std::size_t k = 0; k < kFamilyCount; ++k) {
    const auto& row = table[k];
    for (std::size_t i = 1; i < kProfileLevels; ++i) EXPECT_LT(row[i - 1], row[i]) << k << " " << i;
    for (std::size_t i = kProfileLevels; i < kProfileSlots; ++i) EXPECT_EQ(row[i], 0.0f);
    if (static_cast<Distribution>(k) == Distribution::LogNormal) continue;
    for (std::size_t i = 0; i < kProfileLevels / 2; ++i) {
      // The levels themselves are rounded asymmetrically, so compare loosely.
      EXPECT_NEAR(row[kProfileLevels - 1 - i], -row[i], 1e-5f) << k << " " << i;
    }
  }
  const auto& lognormal = table[static_cast<std::size_t>(Distribution::LogNormal)];
  EXPECT_GT(lognormal[49], 7.9f);  // a long right tail, a short left one
  EXPECT_GT(lognormal[0], -0.8f);
}

// Runs in a fresh process: true when threads released together before the
// table exists all get the same table, built once and equal to a fresh build.
bool concurrent_first_callers_share_one_build() {
  constexpr int kThreads = 8;
  std::barrier start(kThreads);
  std::vector<const ReferenceTable*> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      seen[t] = &ref_profiles();
    });
  }
  for (auto& thread : threads) thread.join();
  for (const ReferenceTable* table : seen) {
    if (table != seen[0]) return false;
  }
  return detail::shared_reference_builds() == 1 && *seen[0] == detail::build_reference_table();
}

TEST(ReferenceTable, ConcurrentFirstCallersShareOneBuild) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(concurrent_first_callers_share_one_build() ? 0 : 1),
              ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace tesrak
