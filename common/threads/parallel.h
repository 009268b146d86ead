#pragma once

#include <functional>

// Runs fn(0) .. fn(count - 1) on every core and returns when all have run. The calling thread
// takes part and waits only for the helpers that took an index: a helper still queued behind
// another caller's work is withdrawn, so a caller is never held up by work that is not its own.
// Called from a helper (a parallel body that calls parallelFor again), it runs inline.
// The calls run in no set order; each must touch only its own part of any shared output, and a
// shared QImage must not be detached from them (take bits() before the call).
void parallelFor(int count, const std::function<void(int)> &fn);

// The number of helper threads parallelFor() uses besides the caller (0 on one core).
[[nodiscard]] int parallelHelperCount();
