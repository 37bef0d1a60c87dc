#pragma once

#include <chrono>
#include <functional>

namespace tesrak {

// The longest a save or load blocks at a stretch while a pipe or a
// character device keeps it waiting.
inline constexpr std::chrono::milliseconds kWaitSlice{50};

// How a save or load waits for the peer of a pipe or a character device
// (a reader that has not read yet, a writer that has not written): in
// slices of at most kWaitSlice, each handed to the hook to run. The slice
// never throws. The hook may run it with a lock given up, and may throw
// instead of running it to give the wait up: the save or load then ends
// with that exception, as after a failed read or write. An empty hook runs
// every slice as it comes. Regular files never wait this way.
using WaitHook = std::function<void(const std::function<void()>& slice)>;

}  // namespace tesrak
