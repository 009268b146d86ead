#pragma once

#include <functional>

// Runs fn(0) .. fn(count - 1) on every core and returns when all have run. The calling thread
// takes part, so a call from a worker never waits for a pool thread that is busy elsewhere.
// The calls run in no set order; each must touch only its own part of any shared output.
void parallelFor(int count, const std::function<void(int)> &fn);
