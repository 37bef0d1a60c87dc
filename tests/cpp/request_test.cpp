#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "server/request.hpp"

namespace tesrak::server {
namespace {

// Serves `bytes` in pieces of at most `chunk` bytes, then the end of the
// stream (or an error), recording how much each read asked for.
class ChunkReader : public ByteReader {
 public:
  ChunkReader(std::string bytes, std::size_t chunk, bool fail_at_end = false)
      : bytes_(std::move(bytes)), chunk_(chunk), fail_at_end_(fail_at_end) {}

  ssize_t read(char* into, std::size_t capacity) override {
    requests.push_back(capacity);
    if (position_ == bytes_.size()) return fail_at_end_ ? -1 : 0;
    const std::size_t n = std::min({capacity, chunk_, bytes_.size() - position_});
    std::copy_n(bytes_.data() + position_, n, into);
    position_ += n;
    return static_cast<ssize_t>(n);
  }

  std::vector<std::size_t> requests;

 private:
  std::string bytes_;
  std::size_t chunk_;
  bool fail_at_end_;
  std::size_t position_ = 0;
};

std::optional<Request> parse(const std::string& bytes, std::size_t chunk = 1 << 20) {
  ChunkReader reader(bytes, chunk);
  return parse_http_request(reader);
}

std::string head_with_fields(int count) {
  std::string head = "GET / HTTP/1.1\r\n";
  for (int i = 0; i < count; ++i) head += "X-Field-" + std::to_string(i) + ": v\r\n";
  return head + "\r\n";
}

struct HeadCase {
  const char* name;
  std::string bytes;
  bool accepted;
  std::string method, path, query, body;
};

const std::vector<HeadCase>& head_cases() {
  static const std::vector<HeadCase> cases = {
      {"cell query", "GET /api/cell?idx=5&q0=0.000000&q1=1.000000&exclude_zero=0 HTTP/1.1\r\n\r\n",
       true, "GET", "/api/cell", "idx=5&q0=0.000000&q1=1.000000&exclude_zero=0", ""},
      {"bare line feeds", "GET /a HTTP/1.1\nHost: x\nAccept: */*\n\n", true, "GET", "/a", "", ""},
      {"empty lines before the request", "\r\n\nGET / HTTP/1.0\r\n\r\n", true, "GET", "/", "", ""},
      {"split at the first question mark", "GET /a?b?c HTTP/1.1\r\n\r\n", true, "GET", "/a", "b?c", ""},
      {"question mark last", "GET /a? HTTP/1.1\r\n\r\n", true, "GET", "/a", "", ""},
      {"no decoding", "GET /%61pi/info#x HTTP/1.1\r\n\r\n", true, "GET", "/%61pi/info#x", "", ""},
      {"UTF-8 target", "GET /\xc3\xa9t\xc3\xa9 HTTP/1.1\r\n\r\n", true, "GET", "/\xc3\xa9t\xc3\xa9", "", ""},
      {"method kept as sent", "DELETE /x HTTP/1.1\r\n\r\n", true, "DELETE", "/x", "", ""},
      {"32 header fields", head_with_fields(32), true, "GET", "/", "", ""},
      {"33 header fields", head_with_fields(33), false, "", "", "", ""},
      {"HTTP/2.0", "GET / HTTP/2.0\r\n\r\n", false, "", "", "", ""},
      {"HTTP/1.2", "GET / HTTP/1.2\r\n\r\n", false, "", "", "", ""},
      {"no version", "GET /\r\n\r\n", false, "", "", "", ""},
      {"target not UTF-8", "GET /\xff HTTP/1.1\r\n\r\n", false, "", "", "", ""},
      {"overlong UTF-8 in target", "GET /\xc0\xaf HTTP/1.1\r\n\r\n", false, "", "", "", ""},
      {"tab in target", "GET /a\tb HTTP/1.1\r\n\r\n", false, "", "", "", ""},
      {"garbage", "\x16\x03\x01 hello\r\n\r\n", false, "", "", "", ""},
      {"head never ends", "GET / HTTP/1.1\r\nHost: x\r\n", false, "", "", "", ""},
      {"nothing sent", "", false, "", "", "", ""},
  };
  return cases;
}

TEST(ParseHttpRequest, HeadTableUnderEveryDelivery) {
  for (const HeadCase& c : head_cases()) {
    for (std::size_t chunk : {std::size_t{1}, std::size_t{3}, std::size_t{4096}, std::size_t{1 << 20}}) {
      SCOPED_TRACE(std::string(c.name) + ", chunk " + std::to_string(chunk));
      const std::optional<Request> request = parse(c.bytes, chunk);
      ASSERT_EQ(request.has_value(), c.accepted);
      if (!request) continue;
      EXPECT_EQ(request->method, c.method);
      EXPECT_EQ(request->path, c.path);
      EXPECT_EQ(request->query, c.query);
      EXPECT_EQ(request->body, c.body);
    }
  }
}

TEST(ParseHttpRequest, BodyThatCameWithTheHeadNeedsNoFurtherRead) {
  const std::string head = "POST /api/merge HTTP/1.1\r\nContent-Length: 20\r\n\r\n";
  ChunkReader reader(head + "[1,2,3,4,5,6,7,8,9,0]" + "trailing", 4096);
  // Content-Length 20, 29 bytes after the head: all kept, one read only.
  const auto request = parse_http_request(reader);
  ASSERT_TRUE(request);
  EXPECT_EQ(request->body, "[1,2,3,4,5,6,7,8,9,0]trailing");
  EXPECT_EQ(reader.requests.size(), 1u);
}

TEST(ParseHttpRequest, BodyBeyondContentLengthIsKeptWhole) {
  for (const std::string& field : {std::string("Content-Length: 5\r\n"), std::string()}) {
    ChunkReader reader("POST / HTTP/1.1\r\n" + field + "\r\nabcdefghi", 4096);
    const auto request = parse_http_request(reader);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->body, "abcdefghi");
    EXPECT_EQ(reader.requests.size(), 1u);
  }
}

TEST(ParseHttpRequest, BodyReadsAskOnlyForWhatIsMissing) {
  const std::string head = "POST / HTTP/1.1\r\nContent-Length: 100000\r\n\r\n";
  ChunkReader reader(head + std::string(70000, 'x'), 1 << 20);
  const auto request = parse_http_request(reader);
  ASSERT_TRUE(request);
  // The peer stopped after 70000 bytes: the record keeps what came.
  EXPECT_EQ(request->body.size(), 70000u);
  // Head read, then min(missing, 65536) each time, then the end of stream.
  const std::size_t first_body_ask = 100000 - (4096 - head.size());
  ASSERT_EQ(reader.requests.size(), 4u);
  EXPECT_EQ(reader.requests[0], kHeadReadBytes);
  EXPECT_EQ(reader.requests[1], kBodyReadBytes);
  EXPECT_EQ(reader.requests[2], first_body_ask - kBodyReadBytes);
  EXPECT_EQ(reader.requests[3], 100000 - 70000u);
}

TEST(ParseHttpRequest, ChunkedBodyKeepsOnlyWhatCameWithTheHead) {
  ChunkReader reader("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n", 4096);
  const auto request = parse_http_request(reader);
  ASSERT_TRUE(request);
  EXPECT_EQ(request->body, "3\r\nabc\r\n");
  EXPECT_EQ(reader.requests.size(), 1u);
}

TEST(ParseHttpRequest, ReadErrorsEndTheHeadButOnlyShortenTheBody) {
  ChunkReader head_fails("GET / HTTP/1.1\r\n", 4096, /*fail_at_end=*/true);
  EXPECT_FALSE(parse_http_request(head_fails));
  ChunkReader body_fails("POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc", 4096, true);
  const auto request = parse_http_request(body_fails);
  ASSERT_TRUE(request);
  EXPECT_EQ(request->body, "abc");
}

TEST(ParseHttpRequest, OversizedRequestsAreRefused) {
  const std::string big_field = "X: " + std::string(kMaxHeadBytes, 'a') + "\r\n";
  EXPECT_FALSE(parse("GET / HTTP/1.1\r\n" + big_field + "\r\n"));
  EXPECT_FALSE(parse("GET / HTTP/1.1\r\n" + big_field));  // still incomplete
  const std::string just_fits = "X: " + std::string(kMaxHeadBytes - 100, 'a') + "\r\n";
  EXPECT_TRUE(parse("GET / HTTP/1.1\r\n" + just_fits + "\r\n"));
  const std::string over = std::to_string(kMaxBodyBytes + 1);
  EXPECT_FALSE(parse("POST / HTTP/1.1\r\nContent-Length: " + over + "\r\n\r\n"));
}

// The head parser itself refuses some Content-Length forms that the length
// rule alone would read: these heads get no request at all.
TEST(ParseHttpRequest, ContentLengthFormsTheHeadParserRefuses) {
  for (const char* fields : {"Content-Length: +12\r\n", "Content-Length: abc\r\n",
                             "Content-Length: 1\r\nContent-Length: 1\r\n",
                             "Content-Length: 3\r\nTransfer-Encoding: chunked\r\n",
                             "Content-Length: 18446744073709551616\r\n"}) {
    SCOPED_TRACE(fields);
    EXPECT_FALSE(parse(std::string("POST / HTTP/1.1\r\n") + fields + "\r\nabc"));
  }
  const auto request = parse("POST / HTTP/1.1\r\ncontent-LENGTH: 007\r\n\r\n1234567");
  ASSERT_TRUE(request);
  EXPECT_EQ(request->body, "1234567");
}

TEST(ContentLength, FirstFieldNamedContentLengthDecides) {
  struct Case {
    std::vector<HeaderField> fields;
    std::uint64_t expected;
  };
  const std::vector<Case> cases = {
      {{}, 0},
      {{{"Content-Length", "+12"}}, 12},
      {{{"Content-Length", "007"}}, 7},
      {{{"content-LENGTH", "9"}}, 9},
      {{{"Content-Length", "18446744073709551615"}}, 18446744073709551615ull},
      {{{"Content-Length", "18446744073709551616"}}, 0},
      {{{"Content-Length", "-0"}}, 0},
      {{{"Content-Length", "+"}}, 0},
      {{{"Content-Length", "1e3"}}, 0},
      {{{"Content-Length", "0x10"}}, 0},
      {{{"Content-Length", "12a"}}, 0},
      {{{"Content-Length", "1 2"}}, 0},
      {{{"Content-Length", ""}}, 0},
      {{{"Content-Length", "abc"}, {"Content-Length", "10"}}, 0},
      {{{"Content-Lengths", "10"}, {"X", "1"}, {"Content-Length", "4"}}, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fields.empty() ? "no field" : c.fields[0].value);
    EXPECT_EQ(content_length_of(c.fields), c.expected);
  }
}

}  // namespace
}  // namespace tesrak::server
