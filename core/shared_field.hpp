// Fields of C records that several threads read and write: whole-value atomic access to a
// plain field (the records stay C structs), release on store, acquire on load.
#pragma once

#include <atomic>

namespace kx {

template <class T>
T load(const T &field) {
    return std::atomic_ref<T>(const_cast<T &>(field)).load(std::memory_order_acquire);
}

template <class T>
void store(T &field, T value) {
    std::atomic_ref<T>(field).store(value, std::memory_order_release);
}

}  // namespace kx
