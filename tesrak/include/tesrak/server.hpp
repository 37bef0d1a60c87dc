#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>

#include "tesrak/tensor_digest.hpp"

namespace tesrak {

// The stop flag: 0 keep serving, anything else stop. Written by the owner of
// the server thread, read by serve_until at its checkpoints.
using StopFlag = std::atomic<std::uint8_t>;

// Serves the browser view of `digest` on 127.0.0.1:$TESRAK_PORT (default
// 7777), one connection at a time, until `stop` is seen set. Throws IoError
// when the listener cannot be set up. The caller must keep every other user
// of `digest` out until it returns.
template <typename T>
void serve_until(TensorDigest<T>& digest, const StopFlag& stop);

namespace server {
// The browser page sent for "/".
extern const std::string_view kPageHtml;
}  // namespace server

}  // namespace tesrak
