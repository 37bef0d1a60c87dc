// The least a serial HTTP server does for a connection, as the visualizer's
// peer in bench_server.py: accept, read up to the empty line that ends the
// head, send one fixed reply (the visualizer's /api/info reply for the
// bench's shape), then close as the visualizer does: shut the sending side
// down, read until the client closes (at most a second), close.
//
//     cc -O2 -o serial_peer bench/serial_peer.c && ./serial_peer PORT
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

static const char kReply[] =
    "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
    "Access-Control-Allow-Origin: *\r\nContent-Length: 30\r\nConnection: close\r\n\r\n"
    "{\"shape\":[4,256,256],\"ndim\":3}";

static void read_head(int fd, char* buffer, size_t size) {
  size_t have = 0;
  while (have < size - 1) {
    const ssize_t got = read(fd, buffer + have, size - 1 - have);
    if (got <= 0) return;
    have += (size_t)got;
    buffer[have] = '\0';
    if (strstr(buffer, "\r\n\r\n") != NULL) return;
  }
}

static void send_all(int fd, const char* bytes, size_t size) {
  while (size > 0) {
    const ssize_t sent = send(fd, bytes, size, MSG_NOSIGNAL);
    if (sent <= 0) return;
    bytes += sent;
    size -= (size_t)sent;
  }
}

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  struct sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons((unsigned short)atoi(argv[1]));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener, (struct sockaddr*)&address, sizeof address) != 0) return 1;
  if (listen(listener, 128) != 0) return 1;

  const struct timeval drain_time = {1, 0};
  char buffer[4096];
  for (;;) {
    const int fd = accept(listener, NULL, NULL);
    if (fd < 0) continue;
    read_head(fd, buffer, sizeof buffer);
    send_all(fd, kReply, sizeof kReply - 1);
    shutdown(fd, SHUT_WR);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &drain_time, sizeof drain_time);
    while (read(fd, buffer, sizeof buffer) > 0) {
    }
    close(fd);
  }
}
