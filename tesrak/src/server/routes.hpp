#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "server/request.hpp"
#include "tesrak/distribution.hpp"
#include "tesrak/tensor_digest.hpp"

namespace tesrak::server {

// One reply: the status line's text, the content type and the whole body.
struct Reply {
  std::string_view status;
  std::string_view content_type;
  std::string body;
  // Whether the head lets a page of any origin read the reply: every reply
  // but the refusal of a foreign page, which has no business reading it.
  bool readable_by_any_origin = true;
};

// What the server keeps for a whole run: the digest it serves (used by
// reference, nobody else touches it meanwhile), the family of every cell as
// classified at start-up, and the shape.
template <typename T>
struct ServedDigest {
  TensorDigest<T>& digest;
  std::vector<Distribution> labels;
  std::vector<std::uint64_t> shape;
};

// Answers one request. A route whose engine operation fails answers
// "400 Bad Request" (a merge that runs out of centroid slots, or memory,
// "500 Internal Server Error") with {"error": message}; nothing escapes.
template <typename T>
Reply route_request(const Request& request, ServedDigest<T>& served);

// The refusal of a request that does not come from this machine's own
// pages and tools: "403 Forbidden" with a one-line text body.
Reply forbidden_reply();

// The response head: status line, the header lines (four, or three without
// Access-Control-Allow-Origin), an empty line.
std::string response_head(const Reply& reply);

}  // namespace tesrak::server
