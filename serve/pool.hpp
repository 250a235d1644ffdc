// Internals of the socket pool that tests and the library's own services reach.
#pragma once

#include <stdint.h>

#include "kx/socketpool.h"

namespace kx::pool {

// Seconds between the pool's ticks (reconnects, idle checks, mode 2/3 closes); 5.0 unless
// changed. Tests shorten it so that their waits stay short.
void setTickPeriod(socketPool *pool, double seconds);
// Ticks the pool's thread has run so far.
uint64_t tickCount(const socketPool *pool);

}  // namespace kx::pool
