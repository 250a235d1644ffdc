// Bounded polling for conditions that other threads bring about.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace kxtest {

// Waits up to `limit` for cond, polling every `step`; true when it became true.
inline bool eventually(const std::function<bool()> &cond,
                       std::chrono::milliseconds limit = std::chrono::milliseconds(5000),
                       std::chrono::microseconds step = std::chrono::microseconds(200)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(step);
    }
    return true;
}

}  // namespace kxtest
