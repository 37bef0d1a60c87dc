#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "server/json.hpp"
#include "server/routes.hpp"
#include "tesrak/errors.hpp"
#include "tesrak/server.hpp"

namespace tesrak::server {
namespace {

// A float digest of shape (2, 3, 4) where cell i saw the values i and 2i.
FloatDigest small_digest() {
  FloatDigest digest({2, 3, 4}, 10);
  std::vector<float> row(24);
  for (float scale : {1.0f, 2.0f}) {
    for (std::size_t i = 0; i < row.size(); ++i) row[i] = scale * static_cast<float>(i);
    digest.update(row);
  }
  return digest;
}

Request get(std::string path, std::string query = "", std::string method = "GET", std::string body = "") {
  return {std::move(method), std::move(path), std::move(query), std::move(body)};
}

class Routes : public ::testing::Test {
 protected:
  FloatDigest digest = small_digest();
  ServedDigest<float> served{digest, std::vector<Distribution>(24, Distribution::Uniform), {2, 3, 4}};

  Reply answer(const Request& request) { return route_request(request, served); }
};

TEST_F(Routes, PathsMatchWholeAndCaseSensitively) {
  for (const char* path : {"/api/info/", "/API/INFO", "/api", "", "/index.html", "/api/cellx", "//"}) {
    const Reply reply = answer(get(path));
    EXPECT_EQ(reply.status, "404 Not Found") << path;
    EXPECT_EQ(reply.content_type, "text/plain");
    EXPECT_EQ(reply.body, "Not Found");
  }
  for (const char* method : {"GET", "POST", "HEAD", "DELETE"}) {
    const Reply page = answer(get("/", "x=1", method));
    EXPECT_EQ(page.status, "200 OK");
    EXPECT_EQ(page.content_type, "text/html; charset=utf-8");
    EXPECT_EQ(page.body, kPageHtml);
  }
  EXPECT_EQ(answer(get("/api/info")).body, "{\"shape\":[2,3,4],\"ndim\":3}");
}

TEST_F(Routes, SliceReadsBatchAndChannel) {
  const Reply reply = answer(get("/api/slice", "c=+1&b=7"));
  EXPECT_EQ(reply.content_type, "application/json");
  EXPECT_EQ(reply.body, json_slice(served.shape, served.labels, 0, 1));
  EXPECT_EQ(answer(get("/api/slice")).body, json_slice(served.shape, served.labels, 0, 0));
  EXPECT_EQ(answer(get("/api/slice", "c=-1")).body, json_slice(served.shape, served.labels, 0, 0));
}

TEST_F(Routes, FailedOperationsAnswerWithTheirMessage) {
  const Reply beyond = answer(get("/api/cell", "idx=24"));
  EXPECT_EQ(beyond.status, "400 Bad Request");
  EXPECT_EQ(beyond.content_type, "application/json");
  EXPECT_EQ(beyond.body, "{\"error\":\"cell index 24 is out of range for 24 cells\"}");
  for (const char* query : {"", "scope=Tensor", "scope=", "b=1&c=0"}) {
    const Reply reply = answer(get("/api/merge", query));
    EXPECT_EQ(reply.status, "400 Bad Request") << query;
    EXPECT_EQ(reply.body, "{\"error\":\"scope must be \\\"channel\\\" or \\\"tensor\\\"\"}");
  }
  // The method word is matched exactly: "post" takes the scope route.
  EXPECT_EQ(answer(get("/api/merge", "", "post", "[1]")).status, "400 Bad Request");
  EXPECT_EQ(answer(get("/api/merge", "scope=channel&c=2", "GET")).status, "400 Bad Request");
  EXPECT_EQ(answer(get("/api/merge", "", "POST", "[1,24]")).status, "400 Bad Request");
}

TEST_F(Routes, CellAndMergesAnswerSummaries) {
  const Reply cell = answer(get("/api/cell", "idx=5&q0=0&q1=1"));
  EXPECT_EQ(cell.status, "200 OK");
  EXPECT_TRUE(cell.body.starts_with("{\"label\":\"cell\",\"distribution\":\"Uniform\",\"count\":2,"
                                    "\"min\":5.000000,"))
      << cell.body.substr(0, 120);
  const Reply listed = answer(get("/api/merge", "scope=channel", "POST", "[1,2]"));
  EXPECT_EQ(listed.status, "200 OK");
  EXPECT_NE(listed.body.find("\"label\":\"merged\""), std::string::npos);
  EXPECT_NE(listed.body.find("\"count\":4,\"min\":1.000000,"), std::string::npos);
  const Reply channel = answer(get("/api/merge", "scope=channel&c=1&b=5"));
  EXPECT_NE(channel.body.find("\"count\":24,\"min\":12.000000,"), std::string::npos);
  const Reply tensor = answer(get("/api/merge", "scope=tensor", "PUT"));
  EXPECT_NE(tensor.body.find("\"count\":48,\"min\":0.000000,"), std::string::npos);
  EXPECT_NE(tensor.body.find("\"max\":46.000000,"), std::string::npos);
}

TEST(ResponseHead, ExactBytes) {
  const Reply reply{"404 Not Found", "text/plain", "Not Found"};
  EXPECT_EQ(response_head(reply),
            "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\n"
            "Access-Control-Allow-Origin: *\r\nContent-Length: 9\r\nConnection: close\r\n\r\n");
}

// serve_until over real loopback sockets, on a port that was free a moment ago.
class Loopback : public ::testing::Test {
 protected:
  void SetUp() override {
    port = free_port();
    setenv("TESRAK_PORT", std::to_string(port).c_str(), 1);
  }
  void TearDown() override {
    stop_server();
    unsetenv("TESRAK_PORT");
  }

  static int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
  }

  void start_server() {
    server = std::thread([this] {
      try {
        serve_until(digest, stop);
      } catch (const std::exception& e) {
        failure = e.what();
      }
    });
  }

  void stop_server() {
    stop.store(1, std::memory_order_relaxed);
    if (server.joinable()) server.join();
  }

  int connect_client() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // The listener appears once the start-up classification is done.
    for (int attempt = 0; attempt < 200; ++attempt) {
      if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    close(fd);
    return -1;
  }

  // Sends `request` and reads the whole reply, until the server closes.
  std::string exchange(const std::string& request) {
    const int fd = connect_client();
    EXPECT_GE(fd, 0);
    if (fd < 0) return {};
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string reply;
    char buffer[4096];
    for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) reply.append(buffer, n);
    close(fd);
    return reply;
  }

  int port = 0;
  FloatDigest digest = small_digest();
  StopFlag stop{0};
  std::thread server;
  std::optional<std::string> failure;
};

TEST_F(Loopback, ServesOneRequestPerConnectionUntilStopped) {
  testing::internal::CaptureStderr();
  start_server();
  // A client that connects and leaves without a word gets nothing, and the
  // next one is served.
  close(connect_client());
  EXPECT_EQ(exchange("GET /api/info HTTP/1.1\r\nConnection: keep-alive\r\n\r\n"),
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nAccess-Control-Allow-Origin: *\r\n"
            "Content-Length: 26\r\nConnection: close\r\n\r\n{\"shape\":[2,3,4],\"ndim\":3}");
  EXPECT_EQ(exchange("BREW /x HTTP/1.1\r\n\r\n"), "");
  EXPECT_TRUE(exchange("GET /nothing HTTP/1.0\r\n\r\n").ends_with("\r\n\r\nNot Found"));
  const auto stop_asked = std::chrono::steady_clock::now();
  stop_server();
  EXPECT_LT(std::chrono::steady_clock::now() - stop_asked, std::chrono::milliseconds(500));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "tesrak visualizer running at http://127.0.0.1:" + std::to_string(port) +
                "  (Ctrl+C to stop)\n");
  EXPECT_FALSE(failure) << *failure;
}

TEST_F(Loopback, StopAlreadySetStillPrintsTheStartUpLine) {
  stop.store(1);
  testing::internal::CaptureStderr();
  serve_until(digest, stop);
  EXPECT_TRUE(testing::internal::GetCapturedStderr().starts_with("tesrak visualizer running at"));
}

TEST_F(Loopback, StartUpFailuresAreIoErrors) {
  for (const char* text : {"", "abc", "65536", "-1", " 80", "80 "}) {
    setenv("TESRAK_PORT", text, 1);
    testing::internal::CaptureStderr();
    try {
      serve_until(digest, stop);
      ADD_FAILURE() << "no error for port text '" << text << "'";
    } catch (const IoError& e) {
      EXPECT_STREQ(e.what(), "invalid port value") << text;
      EXPECT_EQ(e.kind(), IoErrorKind::InvalidInput);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  }
  setenv("TESRAK_PORT", std::to_string(port).c_str(), 1);
  const int holder = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(holder, 1), 0);
  try {
    serve_until(digest, stop);
    ADD_FAILURE() << "bound a port in use";
  } catch (const IoError& e) {
    EXPECT_STREQ(e.what(), "Address already in use (os error 98)");
  }
  close(holder);
}

}  // namespace
}  // namespace tesrak::server
