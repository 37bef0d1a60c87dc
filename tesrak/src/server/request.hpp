#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace tesrak::server {

// One request as received: nothing is decoded or normalised.
struct Request {
  std::string method;  // the method token as sent, e.g. "GET"
  std::string path;    // the target up to its first "?"
  std::string query;   // the target after its first "?", else empty
  std::string body;    // the bytes after the head, never decoded or cut
  // The Host and Origin fields, which tell who is asking (a field sent more
  // than once comes as one list joined by ", "); none when not sent.
  std::optional<std::string> host;
  std::optional<std::string> origin;
};

// Where a request's bytes come from: a socket in the server, memory in
// tests. read() blocks until it can return at least one byte; it returns
// the count read, 0 at the end of the stream, or a negative value on any
// error (a time-out or a stop included).
class ByteReader {
 public:
  virtual ~ByteReader() = default;
  virtual ssize_t read(char* into, std::size_t capacity) = 0;
};

// A header field of a parsed head; the value without surrounding blanks.
struct HeaderField {
  std::string name;
  std::string value;
};

// Limits that keep a malformed or hostile request from eating memory.
inline constexpr std::size_t kMaxHeadBytes = 64 * 1024;
inline constexpr std::uint64_t kMaxBodyBytes = 64ull * 1024 * 1024;
inline constexpr std::size_t kMaxHeaderFields = 32;
inline constexpr std::size_t kHeadReadBytes = 4096;
inline constexpr std::size_t kBodyReadBytes = 65536;

// A request whose head has been read, and whose body so far holds only the
// bytes that came with the head.
struct RequestHead {
  Request request;
  std::uint64_t content_length = 0;
};

// Reads one request head: HTTP/1.0 or 1.1, at most 32 header fields, a
// UTF-8 target. Any read failure, end of stream or malformed head before
// the head is complete gives nothing.
std::optional<RequestHead> parse_request_head(ByteReader& reader);

// Reads the rest of the body, up to the content length; false when the
// body ends short of it. Kept apart from the head so that the server can
// refuse a request from elsewhere before reading its body.
bool read_request_body(ByteReader& reader, RequestHead& head);

// The content length the first field named Content-Length (in any letter
// case) declares: an optional "+" and decimal digits worth at most
// 2^64 - 1. Any other value, or no such field, gives 0.
std::uint64_t content_length_of(std::span<const HeaderField> fields) noexcept;

}  // namespace tesrak::server
