#pragma once

#include <string_view>

#include "server/request.hpp"

namespace tesrak::server {

// Whether a request comes from this machine's own pages and tools. A web
// page of any other site can make a browser send requests here; its Origin
// gives it away. A page whose host name was rebound to 127.0.0.1 sends no
// Origin to its own "site", but its Host names that site. Requests with
// neither field (curl with an HTTP/1.0 request, simple tools) pass.
bool is_from_loopback(const Request& request);

// "localhost", an IPv4 address of 127.0.0.0/8 in dotted decimal, or [::1];
// each with an optional port. Letter case does not count.
bool is_loopback_host(std::string_view host);

// "http://" and a loopback host: a page served from this machine.
bool is_loopback_origin(std::string_view origin);

}  // namespace tesrak::server
