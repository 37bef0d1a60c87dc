#include "server/receive.hpp"

#include <optional>
#include <utility>

#include "server/loopback.hpp"

namespace tesrak::server {

Reception receive_request(ByteReader& reader) {
  std::optional<RequestHead> head = parse_request_head(reader);
  if (!head) return {};
  if (!is_from_loopback(head->request)) {
    return {Reception::Kind::kFromElsewhere, std::move(head->request)};
  }
  if (!read_request_body(reader, *head)) return {};
  return {Reception::Kind::kToAnswer, std::move(head->request)};
}

}  // namespace tesrak::server
