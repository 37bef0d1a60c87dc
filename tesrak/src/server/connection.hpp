#pragma once

#include <chrono>
#include <cstddef>
#include <string_view>
#include <sys/types.h>

#include "server/request.hpp"
#include "tesrak/server.hpp"

namespace tesrak::server {

using Clock = std::chrono::steady_clock;

// How long a connection may take to send its whole request (counted from
// its accept), and to take its whole reply.
inline constexpr Clock::duration kRequestTime = std::chrono::seconds(5);
inline constexpr Clock::duration kReplyTime = std::chrono::seconds(5);
// The longest wait for the peer between two looks at the stop flag.
inline constexpr std::chrono::milliseconds kStopCheckSlice{50};
// How long after a reply, and how many bytes, the peer's further input is
// read and dropped while the server waits for the peer to close.
inline constexpr Clock::duration kDrainTime = std::chrono::seconds(1);
inline constexpr std::size_t kDrainBytes = std::size_t{1} << 20;

// The I/O of one accepted connection, bounded by a deadline and by the stop
// flag. The server has one thread: a peer that sends or reads slowly, byte
// by byte, must hold it no longer than the deadline, and a stop must not
// wait for such a peer. Every wait for the peer therefore polls in slices
// of at most kStopCheckSlice and looks at the stop flag between them.
class Connection : public ByteReader {
 public:
  Connection(int fd, const StopFlag& stop, Clock::time_point deadline) noexcept
      : fd_(fd), stop_(stop), deadline_(deadline) {}

  // Up to `capacity` bytes, once some arrive: their count, 0 at the end of
  // the stream, or -1 on an error, past the deadline or on a stop.
  ssize_t read(char* into, std::size_t capacity) override;

  // Sends all of `bytes`, unless an error, the deadline or a stop comes
  // first; then it gives up, and the reply stays unfinished. True when all
  // was sent.
  bool write_all(std::string_view bytes);

  // Ends a reply that was sent whole: shuts the sending side down, then
  // reads and drops what the peer still sends until it closes, for at most
  // kDrainTime and kDrainBytes, or until a stop. Closing a socket whose
  // input was left unread resets the connection, and the reset throws away
  // whatever part of the reply the peer has not read yet; a pipelined
  // second request is enough for that.
  void shut_down_and_drain();

  void set_deadline(Clock::time_point deadline) noexcept { deadline_ = deadline; }

 private:
  // Waits until the socket is ready for `events`; false on an error, past
  // the deadline or on a stop.
  bool wait_until_ready(short events);

  int fd_;
  const StopFlag& stop_;
  Clock::time_point deadline_;
};

}  // namespace tesrak::server
