#include <gtest/gtest.h>
#include "tesrak/tensor_digest.hpp"
TEST(Smoke, Builds) { tesrak::FloatDigest d({2}, 2); EXPECT_EQ(d.numel, 2u); }
