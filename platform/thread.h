#pragma once
// Detached background threads: the worker's threads run for the life of the process.
#include <functional>

namespace orvane::platform {

// Starts `body` on a new detached thread; false with the system error in err on failure.
bool StartThread(std::function<void()> body, int& err);

}  // namespace orvane::platform
