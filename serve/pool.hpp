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

// While one lives on a thread, the strings that thread queues wake each socket pool once,
// when the outermost one ends, instead of at the first string of every batch: a frame handed
// to many clients of one pool then costs the pool's thread one wake-up, and that thread does
// not preempt the sender halfway through the clients. Pools queued to must outlive it.
class SendBatch {
public:
    SendBatch();
    ~SendBatch();
    SendBatch(const SendBatch &) = delete;
    SendBatch &operator=(const SendBatch &) = delete;

private:
    bool outer_;
};

}  // namespace kx::pool
