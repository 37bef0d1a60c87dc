#include "server/request.hpp"

#include <llhttp.h>

#include <algorithm>
#include <vector>

#include "support/decimal.hpp"
#include "server/ascii.hpp"
#include "server/utf8.hpp"

namespace tesrak::server {
namespace {

constexpr std::string_view kContentLength = "content-length";
constexpr std::string_view kHost = "host";
constexpr std::string_view kOrigin = "origin";

// What the head parser's callbacks collect. The parser hands over each
// piece of text in as many spans as the reads cut it into.
struct HeadState {
  std::string method;
  std::string target;
  std::string name;
  std::string value;
  std::vector<HeaderField> fields;
  bool too_many_fields = false;
  bool complete = false;
};

HeadState& state_of(llhttp_t* parser) { return *static_cast<HeadState*>(parser->data); }

int on_method(llhttp_t* parser, const char* at, std::size_t length) {
  state_of(parser).method.append(at, length);
  return HPE_OK;
}

int on_url(llhttp_t* parser, const char* at, std::size_t length) {
  state_of(parser).target.append(at, length);
  return HPE_OK;
}

int on_header_field(llhttp_t* parser, const char* at, std::size_t length) {
  state_of(parser).name.append(at, length);
  return HPE_OK;
}

// RFC 9110's token characters: the only ones a field name may hold.
bool is_token_char(char c) {
  constexpr std::string_view kTokenPunctuation = "!#$%&'*+-.^_`|~";
  return detail::is_decimal_digit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         kTokenPunctuation.find(c) != std::string_view::npos;
}

// Refuses the field beyond the limit as soon as its name ends. The flag is
// ours because the parser replaces the reason of a callback error. The
// lenient mode that lets bare LFs end header lines also lets through names
// that are no token (an empty one, one with a blank inside or before its
// colon); those stay refused.
int on_header_field_complete(llhttp_t* parser) {
  HeadState& state = state_of(parser);
  if (state.fields.size() >= kMaxHeaderFields) {
    state.too_many_fields = true;
    return -1;
  }
  const std::string& name = state.name;
  if (name.empty() || !std::all_of(name.begin(), name.end(), is_token_char)) return -1;
  return HPE_OK;
}

// The lenient mode that lets bare LFs end header lines also lets control
// bytes into values; those stay refused (a tab is allowed).
int on_header_value(llhttp_t* parser, const char* at, std::size_t length) {
  const bool has_control =
      std::any_of(at, at + length, [](char c) { return is_ascii_control(c) && c != '\t'; });
  if (has_control) return -1;
  state_of(parser).value.append(at, length);
  return HPE_OK;
}

int on_header_value_complete(llhttp_t* parser) {
  HeadState& state = state_of(parser);
  std::string& value = state.value;
  // The parser drops the blanks before a value but keeps those after it.
  const auto last = value.find_last_not_of(" \t");
  value.erase(last == std::string::npos ? 0 : last + 1);
  state.fields.push_back({std::move(state.name), std::move(value)});
  state.name.clear();
  state.value.clear();
  return HPE_OK;
}

// Pausing here leaves the parser's error position on the first body byte,
// and keeps it from interpreting the body at all.
int on_headers_complete(llhttp_t* parser) {
  state_of(parser).complete = true;
  return HPE_PAUSED;
}

const llhttp_settings_t& head_settings() {
  static const llhttp_settings_t settings = [] {
    llhttp_settings_t s;
    llhttp_settings_init(&s);
    s.on_method = on_method;
    s.on_url = on_url;
    s.on_header_field = on_header_field;
    s.on_header_field_complete = on_header_field_complete;
    s.on_header_value = on_header_value;
    s.on_header_value_complete = on_header_value_complete;
    s.on_headers_complete = on_headers_complete;
    return s;
  }();
  return settings;
}

// The parser also takes "RTSP/1.0" and "ICE/1.0" (and "HTTP/0.9", "HTTP/2.0")
// as the request line's protocol, and reads a blank at the start of the
// first header line as folding onto nothing, dropping it. Only HTTP/1.0 and
// HTTP/1.1 requests whose first header line starts with its name are served.
bool is_plain_http1_head(std::string_view head) {
  const std::size_t start = head.find_first_not_of("\r\n");  // the empty lines skipped
  const std::size_t end = head.find('\n', start);
  if (end == std::string_view::npos) return false;
  std::string_view line = head.substr(start, end - start);
  if (line.ends_with('\r')) line.remove_suffix(1);
  const std::string_view protocol = line.substr(line.rfind(' ') + 1);
  const bool first_field_folded =
      end + 1 < head.size() && (head[end + 1] == ' ' || head[end + 1] == '\t');
  return (protocol == "HTTP/1.0" || protocol == "HTTP/1.1") && !first_field_folded;
}

// A target holds no blanks or control bytes and is UTF-8 throughout.
bool is_acceptable_target(std::string_view target) {
  const bool has_control = std::any_of(target.begin(), target.end(),
                                       [](char c) { return c == ' ' || is_ascii_control(c); });
  return !target.empty() && !has_control && is_valid_utf8(target);
}

// The values of every field named `name` (in any letter case), joined by
// ", " as HTTP allows for a field sent more than once; none when no field
// has that name.
std::optional<std::string> combined_value(std::span<const HeaderField> fields,
                                          std::string_view name) {
  std::optional<std::string> combined;
  for (const HeaderField& field : fields) {
    if (!equals_ignoring_ascii_case(field.name, name)) continue;
    if (combined) {
      *combined += ", ";
      *combined += field.value;
    } else {
      combined = field.value;
    }
  }
  return combined;
}

}  // namespace

std::uint64_t content_length_of(std::span<const HeaderField> fields) noexcept {
  for (const HeaderField& field : fields) {
    if (equals_ignoring_ascii_case(field.name, kContentLength)) {
      return detail::parse_unsigned_decimal(field.value).value_or(0);
    }
  }
  return 0;
}

std::optional<RequestHead> parse_request_head(ByteReader& reader) {
  HeadState state;
  llhttp_t parser;
  llhttp_init(&parser, HTTP_REQUEST, &head_settings());
  // Lets a bare LF end a header line, as it may end the request line.
  llhttp_set_lenient_headers(&parser, 1);
  parser.data = &state;

  std::string buffer;
  buffer.reserve(kHeadReadBytes);
  char block[kHeadReadBytes];
  std::size_t head_length = 0;
  // The parser is incremental: each read's bytes are fed once, in order.
  while (!state.complete) {
    const ssize_t got = reader.read(block, sizeof block);
    if (got <= 0) return std::nullopt;
    const std::size_t start = buffer.size();
    buffer.append(block, static_cast<std::size_t>(got));
    const char* fed = buffer.data() + start;
    const llhttp_errno_t status = llhttp_execute(&parser, fed, static_cast<std::size_t>(got));
    if (status == HPE_PAUSED && state.complete) {
      head_length = start + static_cast<std::size_t>(llhttp_get_error_pos(&parser) - fed);
    } else if (status != HPE_OK || state.too_many_fields) {
      return std::nullopt;
    } else if (buffer.size() > kMaxHeadBytes) {
      return std::nullopt;
    }
  }
  if (head_length > kMaxHeadBytes || !is_plain_http1_head({buffer.data(), head_length}) ||
      state.method.empty() || !is_acceptable_target(state.target)) {
    return std::nullopt;
  }
  const std::uint64_t content_length = content_length_of(state.fields);
  if (content_length > kMaxBodyBytes) return std::nullopt;

  RequestHead head;
  head.content_length = content_length;
  Request& request = head.request;
  request.method = std::move(state.method);
  const std::size_t question = state.target.find('?');
  if (question == std::string::npos) {
    request.path = std::move(state.target);
  } else {
    request.path = state.target.substr(0, question);
    request.query = state.target.substr(question + 1);
  }
  request.host = combined_value(state.fields, kHost);
  request.origin = combined_value(state.fields, kOrigin);
  request.body = buffer.substr(head_length);
  return head;
}

// Whatever came with the head stays in the body, even past the content
// length. The reads ask for no more than is still missing. A body that ends
// short of its length (end of stream, read error, deadline) is refused:
// answering what arrived would report a failed request as a success.
bool read_request_body(ByteReader& reader, RequestHead& head) {
  std::string& body = head.request.body;
  while (body.size() < head.content_length) {
    const std::size_t wanted = static_cast<std::size_t>(
        std::min<std::uint64_t>(head.content_length - body.size(), kBodyReadBytes));
    const std::size_t old_size = body.size();
    body.resize(old_size + wanted);
    const ssize_t got = reader.read(body.data() + old_size, wanted);
    if (got <= 0) return false;
    body.resize(old_size + static_cast<std::size_t>(got));
  }
  return true;
}

}  // namespace tesrak::server
