#pragma once

#include <optional>
#include <utility>

#include "server/request.hpp"

namespace tesrak::server {

// The head, then the body, as the server reads a request it will answer:
// nothing when either cannot be read whole.
inline std::optional<Request> read_request(ByteReader& reader) {
  std::optional<RequestHead> head = parse_request_head(reader);
  if (!head || !read_request_body(reader, *head)) return std::nullopt;
  return std::move(head->request);
}

}  // namespace tesrak::server
