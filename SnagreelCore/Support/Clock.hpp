#pragma once

#include <functional>

namespace snagreel {

// Seconds on the monotonic clock that every frame and trigger time uses.
double monotonicSeconds();

// Injectable source of the current monotonic time; tests pass a manual clock.
using Clock = std::function<double()>;

} // namespace snagreel
