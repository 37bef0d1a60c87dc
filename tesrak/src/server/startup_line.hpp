#pragma once

#include <poll.h>

#include <string>
#include <utility>

#include "support/file_descriptor.hpp"

namespace tesrak::server {

// The line that tells where the server runs, written to standard error
// without ever blocking the server. Standard error is whatever the process
// was given: a pipe that nobody empties, or one that another writer fills
// as soon as it has room, would block a plain write for ever, and with it
// the server and every stop, an interpreter's exit included. So the line
// goes through a stream description of its own, written only when that
// cannot block; what it cannot write yet stays pending until the stream
// takes it, or until the server stops and drops it.
class StartupLine {
 public:
  // Looks at standard error as it is now, before the server opens any
  // descriptor that could take its number: closed now means no line at all.
  static StartupLine to_standard_error();

  // Sets the line's text and writes what the stream takes at once.
  void start(std::string text);

  // Writes what the stream takes now of the pending text, if any.
  void write_if_ready();

  // The entry for poll() that wakes once the stream may take more; its
  // descriptor is -1, which poll() skips, when nothing is pending.
  pollfd wait_entry() const noexcept;

  // What poll() reported for wait_entry(): writes, or drops the line on a
  // stream that failed.
  void on_ready(short revents);

 private:
  // How a write to the stream is kept from blocking.
  enum class Mode {
    kNonBlocking,  // a description of our own, in non-blocking mode
    kSocket,       // each send asks not to wait
    kWhenReady,    // only once poll() says there is room
  };

  StartupLine() = default;
  StartupLine(detail::FileDescriptor stream, Mode mode) noexcept
      : stream_(std::move(stream)), mode_(mode) {}

  bool pending() const noexcept { return stream_.valid() && !left_.empty(); }
  void write_once();
  void drop() noexcept;

  detail::FileDescriptor stream_;
  Mode mode_ = Mode::kWhenReady;
  std::string left_;
};

}  // namespace tesrak::server
