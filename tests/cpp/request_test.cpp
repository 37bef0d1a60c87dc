#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include "server/connection.hpp"
#include "server/receive.hpp"
#include "server/request.hpp"
#include "socket_pair.hpp"

namespace tesrak::server {
namespace {

using Kind = Reception::Kind;
constexpr Kind kNone = Kind::kNothing;
constexpr Kind kRefuse = Kind::kFromElsewhere;
constexpr Kind kAnswer = Kind::kToAnswer;
using tesrak::testing::SocketPair;

// Serves `bytes` in reads of at most `chunk` bytes, then the end of the
// stream (or an error), recording what each read asked for.
struct ChunkReader : ByteReader {
  ChunkReader(std::string bytes, std::size_t chunk) : bytes(std::move(bytes)), chunk(chunk) {}
  std::string bytes;
  std::size_t chunk;
  bool fail_at_end = false;
  std::vector<std::size_t> asked;
  ssize_t read(char* into, std::size_t capacity) override {
    asked.push_back(capacity);
    if (bytes.empty()) return fail_at_end ? -1 : 0;
    const std::size_t n = std::min({capacity, chunk, bytes.size()});
    std::copy_n(bytes.data(), n, into);
    bytes.erase(0, n);
    return static_cast<ssize_t>(n);
  }
};

TEST(ReadRequest, HeadsUnderEveryDelivery) {
  // A head that gives nothing names only its bytes; the parts it would have had stay empty.
  struct Case { std::string bytes; Kind kind; std::string method = {}, path = {}, query = {}; };
  const std::string big = std::string(kMaxHeadBytes, 'a');
  std::string fields = "GET / HTTP/1.1\r\n";
  for (int i = 0; i < 32; ++i) fields += "X-" + std::to_string(i) + ": v\r\n";
  const std::vector<Case> cases = {
      {"GET /api/cell?idx=5&q0=0.5 HTTP/1.1\r\n\r\n", kAnswer, "GET", "/api/cell", "idx=5&q0=0.5"},
      {"\r\n\nPOST /a?b?c HTTP/1.0\nHost: x\nAccept: */*\n\n", kRefuse, "POST", "/a", "b?c"},
      {"GET /%61pi/\xc3\xa9#x HTTP/1.1\r\n\r\n", kAnswer, "GET", "/%61pi/\xc3\xa9#x", ""},
      {"GET / HTTP/1.1\r\nX: \t\"\xff\" \r\n\r\n", kAnswer, "GET", "/", ""},
      {fields + "\r\n", kAnswer, "GET", "/", ""}, {fields + "Y: v\r\n\r\n", kNone},
      {"GET / HTTP/2.0\r\n\r\n", kNone}, {"GET / HTTP/1.2\r\n\r\n", kNone},
      {"GET /\xff HTTP/1.1\r\n\r\n", kNone}, {"GET /\xc0\xaf HTTP/1.1\r\n\r\n", kNone},
      {"GET /a\tb HTTP/1.1\r\n\r\n", kNone}, {"GET / HTTP/1.1\r\nX: a\x01\r\n\r\n", kNone},
      {"GET / HTTP/1.1\r\nHost: x\r\n", kNone}, {"", kNone},
      {"GET / HTTP/1.1\r\nX: " + big + "\r\n\r\n", kNone},
      {"GET / HTTP/1.1\r\nX: " + big.substr(100) + "\r\n\r\n", kAnswer, "GET", "/", ""},
      // Only HTTP/1.0 and HTTP/1.1 are requests, whatever else the parser knows.
      {"GET /api/info RTSP/1.0\r\n\r\n", kNone}, {"SOURCE / ICE/1.0\r\n\r\n", kNone},
      {"GET /\r\n\r\n", kNone}, {"\rGET /r HTTP/1.0\r\n\r\n", kAnswer, "GET", "/r", ""},
      // A field name is one or more token characters, nothing else.
      {"GET / HTTP/1.1\r\n!#$%&'*+-.^_`|~09azAZ: 1\r\n\r\n", kAnswer, "GET", "/", ""},
      {"GET / HTTP/1.1\r\n: x\r\n\r\n", kNone}, {"GET / HTTP/1.1\r\nX y: 1\r\n\r\n", kNone},
      {"GET / HTTP/1.1\r\nX : 1\r\n\r\n", kNone}, {"GET / HTTP/1.1\r\nX\"y: 1\r\n\r\n", kNone},
      // A blank starts a folded line only after a field it continues.
      {"GET / HTTP/1.1\r\n X: 1\r\n\r\n", kNone}, {"GET / HTTP/1.1\n \n\n", kNone},
      {"GET / HTTP/1.1\r\nX: 1\r\n 2\r\n\r\n", kAnswer, "GET", "/", ""},
  };
  for (const Case& c : cases) {
    for (std::size_t chunk : {1, 3, 4096}) {
      SCOPED_TRACE(c.bytes.substr(0, 40) + " in reads of " + std::to_string(chunk));
      ChunkReader reader(c.bytes, chunk);
      const Reception received = receive_request(reader);
      ASSERT_EQ(received.kind, c.kind);
      const Request& request = received.request;
      if (c.kind != kNone) {
        EXPECT_EQ(std::tie(request.method, request.path, request.query, request.body),
                  std::tie(c.method, c.path, c.query, ""));
      }
    }
  }
}

TEST(ReadRequest, BodiesComeWholeOrNotAtAllAndReadsAskOnlyForWhatIsMissing) {
  struct Case { std::string head; std::size_t sent; bool fail_at_end; std::size_t body;
                std::vector<std::size_t> asked; };
  const std::string cl = "POST / HTTP/1.1\r\nContent-Length: ";  // 33 bytes
  const std::string chunked = "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
  const std::vector<Case> cases = {
      {cl + "20\r\n\r\n", 29, false, 29, {4096}},           // more than announced: all kept
      {"POST / HTTP/1.1\r\n\r\n", 3, false, 3, {4096}},     // no length: what came along
      {chunked, 10, false, 10, {4096}},                     // chunks are not decoded
      {cl + "10\r\n\r\n", 3, true, 0, {4096, 7}},           // a read error before the end
      {cl + "100000\r\n\r\n", 70000, false, 0, {4096, 65536, 30411, 30000}},  // end of stream
      {cl + "100000\r\n\r\n", 100000, false, 100000, {4096, 65536, 30411}},
      {cl + "+12\r\n\r\n", 12, false, 0, {4096}},           // refused by the head parser
      {cl + std::to_string(kMaxBodyBytes + 1) + "\r\n\r\n", 3, false, 0, {4096}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.head);
    ChunkReader reader(c.head + std::string(c.sent, '7'), kMaxBodyBytes);
    reader.fail_at_end = c.fail_at_end;
    const Reception received = receive_request(reader);
    EXPECT_EQ(received.request.body.size(), c.body);
    EXPECT_EQ(received.kind, c.body > 0 ? kAnswer : kNone);
    EXPECT_EQ(reader.asked, c.asked);
  }
}

// Which Content-Length values the parser takes (it refuses the rest
// outright), and the length each one declares. No body follows the head, so
// the one read after it asks for that length, and the request then ends
// short of it.
TEST(ReadRequest, ContentLengthForms) {
  constexpr std::uint64_t kRefused = ~std::uint64_t{0};
  const std::vector<std::pair<std::string, std::uint64_t>> cases = {
      {"5", 5}, {" \t5", 5}, {"5 ", 5}, {"5  ", 5}, {"007", 7}, {"0000000000000000000000001", 1},
      {std::to_string(kMaxBodyBytes), kMaxBodyBytes}, {"0", 0},
      {std::to_string(kMaxBodyBytes + 1), kRefused}, {"18446744073709551615", kRefused},
      {"18446744073709551616", kRefused}, {"5\t", kRefused}, {"5 \t", kRefused}, {"", kRefused},
      {"+12", kRefused}, {"-0", kRefused}, {"1 2", kRefused}, {"1,1", kRefused},
      {"0x10", kRefused}, {"12a", kRefused}, {"5\r\nContent-Length: 5", kRefused},
      {"5\r\nTransfer-Encoding: chunked", kRefused}, {"5\r\n 6", kRefused},
  };
  for (const auto& [value, length] : cases) {
    SCOPED_TRACE("Content-Length: " + value);
    ChunkReader reader("PUT / HTTP/1.1\r\nContent-Length: " + value + "\r\n\r\n", 4096);
    EXPECT_EQ(receive_request(reader).kind, length == 0 ? kAnswer : kNone);
    std::vector<std::size_t> asked = {kHeadReadBytes};
    if (length != kRefused && length > 0) {
      asked.push_back(std::min<std::uint64_t>(length, kBodyReadBytes));
    }
    EXPECT_EQ(reader.asked, asked);
  }
}

TEST(ReadRequest, HostAndOriginAreKeptAndRepeatsJoined) {
  struct Case { std::string fields; std::optional<std::string> host, origin; };
  const std::vector<Case> cases = {
      {"Hosts: a\r\nOrigins: b\r\n", std::nullopt, std::nullopt},
      {"host: a:1\r\nORIGIN: http://b\r\n", "a:1", "http://b"},
      {"Host: a\r\nX: 1\r\nHost: b\r\n", "a, b", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fields);
    ChunkReader reader("GET / HTTP/1.1\r\n" + c.fields + "\r\n", 5);
    const Reception received = receive_request(reader);
    ASSERT_NE(received.kind, kNone);
    EXPECT_EQ(received.request.host, c.host);
    EXPECT_EQ(received.request.origin, c.origin);
  }
}

// The server's order: the head, then the body only for a request from this
// machine. One from elsewhere is refused on its head alone, with no read
// past it, so that a body that never arrives cannot hold the server until
// the deadline.
TEST(ReceiveRequest, ElsewhereIsRefusedOnItsHeadAlone) {
  struct Case { std::string bytes; Kind kind; std::vector<std::size_t> asked; };
  // A head announcing 10 bytes of body, of which `sent` come along; then a
  // read fails.
  const auto post = [](const std::string& fields, std::size_t sent) {
    return "POST /api/merge HTTP/1.1\r\nContent-Length: 10\r\n" + fields + "\r\n" +
           std::string(sent, '7');
  };
  const std::vector<Case> cases = {
      {post("Host: rebound.example:7777\r\n", 0), kRefuse, {4096}},
      {post("Host: rebound.example\r\n", 4), kRefuse, {4096}},
      {post("Host: localhost\r\nHost: rebound.example\r\n", 0), kRefuse, {4096}},
      {post("Host: 127.0.0.1:7777\r\nOrigin: http://other.example\r\n", 0), kRefuse, {4096}},
      {post("Origin: https://localhost\r\n", 0), kRefuse, {4096}},
      {post("Host: 127.0.0.1:7777\r\n", 10), kAnswer, {4096}},
      {post("Host: [::1]\r\nOrigin: http://localhost:7777\r\n", 4), kNone, {4096, 6}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    ChunkReader reader(c.bytes, 4096);
    reader.fail_at_end = true;
    EXPECT_EQ(receive_request(reader).kind, c.kind);
    EXPECT_EQ(reader.asked, c.asked);
  }
}

// Reads through a connection, and sets its stop flag once
// `reads_before_stop` reads have been made: the next read meets the stop
// wherever the request stands, with no clock involved.
struct StopAfterReads : ByteReader {
  StopAfterReads(Connection& connection, StopFlag& stop, std::size_t reads_before_stop)
      : connection(connection), stop(stop), reads_before_stop(reads_before_stop) {}
  Connection& connection;
  StopFlag& stop;
  std::size_t reads_before_stop;
  std::size_t reads = 0;
  ssize_t read(char* into, std::size_t capacity) override {
    if (reads++ == reads_before_stop) stop.store(1, std::memory_order_relaxed);
    return connection.read(into, capacity);
  }
};

// The whole request waits on the socket and the peer keeps it open, so
// only the stop ends the reading short: it gives nothing, whether it comes
// before the head, within a head longer than one read, or between the head
// and the body, and leaves the rest unread. A request from elsewhere is
// refused on its head before any read could meet the stop.
TEST(ReceiveRequest, AStopGivesNothingThoughTheRequestIsWaiting) {
  constexpr std::size_t kNoStop = SIZE_MAX;
  // Long enough that the head's first read leaves part of it, or of the
  // body, on the socket.
  const std::string body(10000, '7');
  const auto post_from = [&body](const std::string& host) {
    return "POST /api/merge HTTP/1.1\r\nHost: " + host +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  };
  const std::string local = post_from("localhost");
  const std::string elsewhere = post_from("rebound.example");
  const std::string long_head = "GET / HTTP/1.1\r\nHost: localhost\r\nX: " +
                                std::string(kHeadReadBytes, 'x') + "\r\n\r\n";
  struct Case { const char* name; const std::string& bytes; std::size_t reads_before_stop;
                Kind kind; std::size_t reads; std::size_t unread; };
  const std::vector<Case> cases = {
      {"no stop", local, kNoStop, kAnswer, 2, 0},
      {"stop before the head", local, 0, kNone, 1, local.size()},
      {"stop between the head and the body", local, 1, kNone, 2, local.size() - kHeadReadBytes},
      {"no stop, long head", long_head, kNoStop, kAnswer, 2, 0},
      {"stop within the head", long_head, 1, kNone, 2, long_head.size() - kHeadReadBytes},
      {"stop after the head from elsewhere", elsewhere, 1, kRefuse, 1,
       elsewhere.size() - kHeadReadBytes},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SocketPair sockets;
    ASSERT_EQ(::write(sockets.peer, c.bytes.data(), c.bytes.size()), ssize_t(c.bytes.size()));
    StopFlag stop{0};
    Connection connection(sockets.server, stop, Clock::now() + kRequestTime);
    StopAfterReads reader(connection, stop, c.reads_before_stop);
    EXPECT_EQ(receive_request(reader).kind, c.kind);
    EXPECT_EQ(reader.reads, c.reads);
    EXPECT_EQ(sockets.unread_by_server(), c.unread);
  }
}

TEST(ContentLength, FirstFieldNamedContentLengthDecides) {
  using F = std::vector<HeaderField>;
  EXPECT_EQ(content_length_of(F{{"content-LENGTH", "+007"}}), 7u);
  EXPECT_EQ(content_length_of(F{{"Content-Length", "18446744073709551615"}}), UINT64_MAX);
  EXPECT_EQ(content_length_of(F{{"Content-Length", "18446744073709551616"}}), 0u);
  EXPECT_EQ(content_length_of(F{{"Content-Length", "1 2"}, {"Content-Length", "10"}}), 0u);
  EXPECT_EQ(content_length_of(F{{"Content-Lengths", "10"}, {"Content-Length", "4"}}), 4u);
}

}  // namespace
}  // namespace tesrak::server
