#include "tesrak/server.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/file_descriptor.hpp"
#include "server/connection.hpp"
#include "server/numbers.hpp"
#include "server/receive.hpp"
#include "server/routes.hpp"
#include "server/startup_line.hpp"
#include "server/utf8.hpp"
#include "tesrak/errors.hpp"

namespace tesrak {
namespace {

using detail::FileDescriptor;
using server::Clock;
using server::Connection;
using server::Reception;
using server::Reply;
using server::ServedDigest;
using server::StartupLine;

constexpr const char* kPortVariable = "TESRAK_PORT";
constexpr std::string_view kDefaultPort = "7777";
constexpr std::string_view kHostPrefix = "127.0.0.1:";
constexpr int kListenBacklog = 128;
// The longest wait for a connection between two looks at the stop flag.
constexpr auto kIdlePause = std::chrono::milliseconds(50);

// $TESRAK_PORT as it stands (even empty), or the default when it is unset
// or not UTF-8.
std::string port_text() {
  const char* value = std::getenv(kPortVariable);
  if (value == nullptr || !server::is_valid_utf8(value)) return std::string(kDefaultPort);
  return value;
}

// The addresses "host:port" names: a literal IPv4 host is taken as it is,
// any other goes through the name lookup. The port is decimal, 0 to 65535.
std::vector<sockaddr_storage> resolve(const std::string& address) {
  const std::size_t colon = address.rfind(':');
  const std::string host = address.substr(0, colon);
  const std::optional<std::uint16_t> port = server::parse_port(address.substr(colon + 1));
  if (!port) throw IoError(IoErrorKind::InvalidInput, "invalid port value");
  const auto port_bytes = htons(*port);

  std::vector<sockaddr_storage> result;
  sockaddr_in literal{};
  if (inet_pton(AF_INET, host.c_str(), &literal.sin_addr) == 1) {
    literal.sin_family = AF_INET;
    literal.sin_port = port_bytes;
    sockaddr_storage storage{};
    std::memcpy(&storage, &literal, sizeof literal);
    result.push_back(storage);
    return result;
  }
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int status = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (status == EAI_SYSTEM) throw IoError::from_errno(errno);
  if (status != 0) {
    throw IoError(IoErrorKind::Other,
                  std::string("failed to lookup address information: ") + gai_strerror(status));
  }
  for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    sockaddr_storage storage{};
    std::memcpy(&storage, entry->ai_addr, entry->ai_addrlen);
    if (storage.ss_family == AF_INET) {
      reinterpret_cast<sockaddr_in&>(storage).sin_port = port_bytes;
    } else if (storage.ss_family == AF_INET6) {
      reinterpret_cast<sockaddr_in6&>(storage).sin6_port = port_bytes;
    } else {
      continue;
    }
    result.push_back(storage);
  }
  freeaddrinfo(found);
  return result;
}

socklen_t length_of(const sockaddr_storage& address) {
  return address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

// A socket with address reuse, bound and listening; or the failure.
int bind_listener(const sockaddr_storage& address) {
  const int fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw IoError::from_errno(errno);
  FileDescriptor guard(fd);
  const int enable = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &enable, sizeof enable) != 0 ||
      ::bind(fd, reinterpret_cast<const sockaddr*>(&address), length_of(address)) != 0 ||
      ::listen(fd, kListenBacklog) != 0) {
    throw IoError::from_errno(errno);
  }
  return guard.release();
}

// The first of the text's addresses that binds, else the last failure.
int open_listener(const std::string& address_text) {
  const std::vector<sockaddr_storage> addresses = resolve(address_text);
  if (addresses.empty()) {
    throw IoError(IoErrorKind::InvalidInput, "could not resolve to any addresses");
  }
  for (std::size_t i = 0;; ++i) {
    try {
      return bind_listener(addresses[i]);
    } catch (const IoError&) {
      if (i + 1 == addresses.size()) throw;
    }
  }
}

// One connection, just accepted: read one request within its time from the
// accept, answer it within its time from the start of the reply, and let
// the peer take all of it before the close. A request that cannot be read
// in time, or a stop meanwhile, gets no reply; write failures are ignored.
// A request from elsewhere than this machine is refused before its body is
// read.
template <typename T>
void serve_connection(int fd, ServedDigest<T>& served, const StopFlag& stop) {
  Connection connection(fd, stop, Clock::now() + server::kRequestTime);
  const Reception received = server::receive_request(connection);
  if (received.kind == Reception::Kind::kNothing) return;
  const Reply reply = received.kind == Reception::Kind::kToAnswer
                          ? server::route_request(received.request, served)
                          : server::forbidden_reply();
  connection.set_deadline(Clock::now() + server::kReplyTime);
  const bool head_sent = connection.write_all(server::response_head(reply));
  const bool body_sent = connection.write_all(reply.body);  // even when the head failed
  if (head_sent && body_sent) connection.shut_down_and_drain();
}

bool stop_requested(const StopFlag& stop) { return stop.load(std::memory_order_relaxed) != 0; }

// Waits until a connection is waiting on the listener, or at most the idle
// pause. A client making one request after another is thus taken at once,
// not at the next tick of a fixed pause. Standard error taking more of a
// pending start-up line ends the wait too, and gets it.
void wait_for_connection(int listener, StartupLine& line) {
  pollfd waits[] = {{listener, POLLIN, 0}, line.wait_entry()};
  if (::poll(waits, 2, static_cast<int>(kIdlePause.count())) > 0 && waits[1].revents != 0) {
    line.on_ready(waits[1].revents);
  }
}

// Failures that leave the connection waiting: the listener stays readable,
// so polling it would return at once and every retry would fail alike.
bool is_out_of_resources(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

}  // namespace

template <typename T>
void serve_until(TensorDigest<T>& digest, const StopFlag& stop) {
  StartupLine line = StartupLine::to_standard_error();
  const std::string address = std::string(kHostPrefix) + port_text();
  ServedDigest<T> served{digest, digest.analyze(), digest.shape};

  FileDescriptor listener(open_listener(address));
  const int flags = ::fcntl(listener.get(), F_GETFL);
  if (flags < 0 || ::fcntl(listener.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
    throw IoError::from_errno(errno);
  }
  // A server stopped before it runs never says it does.
  if (stop_requested(stop)) return;
  line.start("tesrak visualizer running at http://" + address + "  (Ctrl+C to stop)\n");

  while (!stop_requested(stop)) {
    line.write_if_ready();
    const int fd = ::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        wait_for_connection(listener.get(), line);
      } else if (is_out_of_resources(errno)) {
        std::this_thread::sleep_for(kIdlePause);  // until a descriptor may be free again
      }
      continue;  // other failures (an interrupted call too) are retried at once
    }
    FileDescriptor connection(fd);
    try {
      serve_connection(fd, served, stop);
    } catch (...) {
      // Nothing a single request does may end the server.
    }
  }
}

template void serve_until(TensorDigest<float>&, const StopFlag&);
template void serve_until(TensorDigest<std::int32_t>&, const StopFlag&);

}  // namespace tesrak
