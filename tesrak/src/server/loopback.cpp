#include "server/loopback.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <string>

#include "server/ascii.hpp"
#include "server/numbers.hpp"

namespace tesrak::server {
namespace {

constexpr std::size_t kMaxPortDigits = 5;
constexpr std::string_view kHttpScheme = "http://";
constexpr std::uint8_t kLoopbackNet = 127;

// Nothing, or ":" and a decimal port.
bool is_port_suffix(std::string_view suffix) {
  if (suffix.empty()) return true;
  if (suffix.front() != ':') return false;
  suffix.remove_prefix(1);
  if (suffix.size() > kMaxPortDigits || suffix.starts_with('+')) return false;
  return parse_port(suffix).has_value();
}

bool is_loopback_ipv4(std::string_view name) {
  in_addr address{};
  if (inet_pton(AF_INET, std::string(name).c_str(), &address) != 1) return false;
  return reinterpret_cast<const std::uint8_t*>(&address.s_addr)[0] == kLoopbackNet;
}

bool is_loopback_ipv6(std::string_view name) {
  in6_addr address{};
  return inet_pton(AF_INET6, std::string(name).c_str(), &address) == 1 &&
         IN6_IS_ADDR_LOOPBACK(&address);
}

}  // namespace

bool is_loopback_host(std::string_view host) {
  if (host.starts_with('[')) {
    const std::size_t close = host.find(']');
    return close != std::string_view::npos && is_loopback_ipv6(host.substr(1, close - 1)) &&
           is_port_suffix(host.substr(close + 1));
  }
  const std::size_t colon = std::min(host.find(':'), host.size());
  const std::string_view name = host.substr(0, colon);
  return (equals_ignoring_ascii_case(name, "localhost") || is_loopback_ipv4(name)) &&
         is_port_suffix(host.substr(colon));
}

bool is_loopback_origin(std::string_view origin) {
  return origin.size() > kHttpScheme.size() &&
         equals_ignoring_ascii_case(origin.substr(0, kHttpScheme.size()), kHttpScheme) &&
         is_loopback_host(origin.substr(kHttpScheme.size()));
}

bool is_from_loopback(const Request& request) {
  // An empty Host names no other site: HTTP allows it where the target
  // has no authority.
  const bool host_ok = !request.host || request.host->empty() || is_loopback_host(*request.host);
  const bool origin_ok = !request.origin || is_loopback_origin(*request.origin);
  return host_ok && origin_ok;
}

}  // namespace tesrak::server
