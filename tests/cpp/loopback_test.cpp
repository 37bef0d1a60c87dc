#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/loopback.hpp"

namespace tesrak::server {
namespace {

TEST(Loopback, HostsThatNameThisMachine) {
  const std::vector<std::string> loopback = {
      "localhost", "LocalHost:7777", "127.0.0.1", "127.0.0.1:7777", "127.1.2.3:0",
      "[::1]", "[::1]:65535", "[0:0:0:0:0:0:0:1]:80",
  };
  const std::vector<std::string> elsewhere = {
      "", "example.com", "example.com:7777", "localhost.", "localhost.example.com",
      "127.0.0.1.example.com", "127.0.0.1:", "127.0.0.1:65536", "127.0.0.1:+1",
      "127.0.0.1:7777:1", "127.0.0.1 ", "127.1", "0127.0.0.1", "0x7f.0.0.1", "128.0.0.1",
      "10.0.0.1", "0.0.0.0", "::1", "[::1", "[::2]", "[::ffff:127.0.0.1]", "[::1]x",
      "localhost, 127.0.0.1",
  };
  for (const std::string& host : loopback) EXPECT_TRUE(is_loopback_host(host)) << host;
  for (const std::string& host : elsewhere) EXPECT_FALSE(is_loopback_host(host)) << host;
}

TEST(Loopback, OriginsOfPagesServedFromThisMachine) {
  const std::vector<std::string> loopback = {
      "http://127.0.0.1:7777", "http://localhost:8888", "http://[::1]:9", "http://localhost",
      "HTTP://LOCALHOST:1",
  };
  const std::vector<std::string> elsewhere = {
      "", "null", "http://", "http://example.com", "http://127.0.0.1.example.com:7777",
      "https://127.0.0.1:7777", "file://", "http://127.0.0.1:7777/", "127.0.0.1:7777",
      "http://127.0.0.1:7777, http://example.com",
  };
  for (const std::string& origin : loopback) EXPECT_TRUE(is_loopback_origin(origin)) << origin;
  for (const std::string& origin : elsewhere) EXPECT_FALSE(is_loopback_origin(origin)) << origin;
}

}  // namespace
}  // namespace tesrak::server
