#pragma once

#include "server/request.hpp"

namespace tesrak::server {

// What came of reading one connection's request, and so what the server
// does with it.
struct Reception {
  enum class Kind {
    // No whole request: a failed read (a stop or a deadline included), a
    // malformed head or a body short of its length. Nothing is answered.
    kNothing,
    // A request from elsewhere than this machine, refused unanswered; its
    // body was left unread.
    kFromElsewhere,
    // A whole request from this machine, body included, to be answered.
    kToAnswer,
  };
  Kind kind = Kind::kNothing;
  // The request as far as it was read: the head's parts and the body bytes
  // that came with them for a refused request, all of it for one to answer,
  // empty for nothing.
  Request request;
};

// Reads a request the way the server does: the head; then, only for a
// request from this machine, the rest of its body. A request from elsewhere
// is refused before its body is read, so that a page of another site cannot
// make the server wait for a body, nor fill its memory with one. A stop
// noticed at any point gives nothing: the read that notices it fails.
Reception receive_request(ByteReader& reader);

}  // namespace tesrak::server
