#include "server/routes.hpp"

#include <new>

#include "server/json.hpp"
#include "server/query.hpp"
#include "tesrak/errors.hpp"
#include "tesrak/server.hpp"

namespace tesrak::server {
namespace {

constexpr std::string_view kOk = "200 OK";
constexpr std::string_view kBadRequest = "400 Bad Request";
constexpr std::string_view kForbidden = "403 Forbidden";
constexpr std::string_view kNotFound = "404 Not Found";
constexpr std::string_view kInternalError = "500 Internal Server Error";
constexpr std::string_view kHtml = "text/html; charset=utf-8";
constexpr std::string_view kJson = "application/json";
constexpr std::string_view kText = "text/plain";

// A request the route cannot serve; its message goes to the client.
class BadRequest : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

Reply json_reply(std::string body) { return {kOk, kJson, std::move(body)}; }

// The flat channel of the plane the page shows: its batch b and channel c.
std::uint64_t viewed_channel(const QueryMap& query, std::span<const std::uint64_t> shape) {
  return channel_idx(shape, parse_unsigned_param(query, "b"), parse_unsigned_param(query, "c"));
}

template <typename T>
Reply cell_reply(const QueryMap& query, ServedDigest<T>& served) {
  const std::uint64_t idx = parse_unsigned_param(query, "idx");
  const QuantileWindow window = parse_quantile_window(query);
  const bool exclude_zero = parse_bool_flag(query, "exclude_zero");
  if (idx >= served.labels.size()) {
    throw BadRequest("cell index " + std::to_string(idx) + " is out of range for " +
                     std::to_string(served.labels.size()) + " cells");
  }
  const std::uint64_t cells[] = {idx};
  TensorDigest<T> cell = served.digest.merge_cells(cells);
  if (exclude_zero) cell = cell.without_zeros();
  // The family is the start-up one, taken with zeros; the numbers come
  // from the possibly filtered cell.
  return json_reply(json_digest_cell(cell, served.labels[idx], "cell", window.q0, window.q1));
}

// The page lists each cell of a selection once. A body naming more cells
// than the tensor holds repeats some, and every repeat is gathered and
// sorted again: bounded only by the body, that work could take gigabytes
// from a few megabytes, so such a list is refused before any of it.
template <typename T>
Reply listed_cells_reply(const Request& request, const QueryMap& query, ServedDigest<T>& served) {
  const QuantileWindow window = parse_quantile_window(query);
  const bool exclude_zero = parse_bool_flag(query, "exclude_zero");
  const std::uint64_t cells = served.digest.numel;
  const std::optional<std::vector<std::uint64_t>> indices =
      parse_json_indices_up_to(request.body, cells);
  if (!indices) {
    throw BadRequest("the body lists more cells than the tensor's " + std::to_string(cells));
  }
  return json_reply(json_digest_merged(served.digest.merge_cells(*indices), exclude_zero,
                                       window.q0, window.q1));
}

template <typename T>
Reply scope_merge_reply(const QueryMap& query, ServedDigest<T>& served) {
  const QuantileWindow window = parse_quantile_window(query);
  const bool exclude_zero = parse_bool_flag(query, "exclude_zero");
  const auto scope = query.find("scope");
  const std::string_view scope_name = scope == query.end() ? std::string_view{} : scope->second;
  if (scope_name == "tensor") {
    return json_reply(
        json_digest_merged(served.digest.merge_all(), exclude_zero, window.q0, window.q1));
  }
  if (scope_name == "channel") {
    const std::uint64_t channels[] = {viewed_channel(query, served.shape)};
    return json_reply(json_digest_merged(served.digest.merge_channels(channels), exclude_zero,
                                         window.q0, window.q1));
  }
  throw BadRequest("scope must be \"channel\" or \"tensor\"");
}

template <typename T>
Reply dispatch(const Request& request, ServedDigest<T>& served) {
  const std::string& path = request.path;
  if (path == "/") return {kOk, kHtml, std::string(kPageHtml)};
  if (path == "/api/info") return json_reply(json_info(served.shape));
  if (path != "/api/slice" && path != "/api/cell" && path != "/api/merge") {
    return {kNotFound, kText, "Not Found"};
  }
  const QueryMap query = parse_query(request.query);
  if (path == "/api/slice") {
    return json_reply(
        json_slice(served.shape, served.labels, viewed_channel(query, served.shape)));
  }
  if (path == "/api/cell") return cell_reply(query, served);
  if (request.method == "POST") return listed_cells_reply(request, query, served);
  return scope_merge_reply(query, served);
}

Reply error_reply(std::string_view status, std::string_view message) {
  return {status, kJson, json_error(message)};
}

}  // namespace

template <typename T>
Reply route_request(const Request& request, ServedDigest<T>& served) {
  try {
    return dispatch(request, served);
  } catch (const BadRequest& e) {
    return error_reply(kBadRequest, e.what());
  } catch (const CapacityError& e) {
    return error_reply(kInternalError, e.what());
  } catch (const EngineError& e) {
    return error_reply(kBadRequest, e.what());
  } catch (const std::bad_alloc&) {
    return error_reply(kInternalError, "out of memory");
  } catch (const std::exception& e) {
    return error_reply(kInternalError, e.what());
  }
}

Reply forbidden_reply() {
  return {kForbidden, kText,
          "Forbidden: the Host and the Origin must name this machine "
          "(localhost, 127.0.0.1 or [::1])\n",
          false};
}

std::string response_head(const Reply& reply) {
  std::string head = "HTTP/1.1 ";
  head += reply.status;
  head += "\r\nContent-Type: ";
  head += reply.content_type;
  if (reply.readable_by_any_origin) head += "\r\nAccess-Control-Allow-Origin: *";
  head += "\r\nContent-Length: ";
  head += std::to_string(reply.body.size());
  head += "\r\nConnection: close\r\n\r\n";
  return head;
}

template Reply route_request(const Request&, ServedDigest<float>&);
template Reply route_request(const Request&, ServedDigest<std::int32_t>&);

}  // namespace tesrak::server
