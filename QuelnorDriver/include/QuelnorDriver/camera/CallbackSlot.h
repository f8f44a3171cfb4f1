#pragma once

#include <mutex>
#include <utility>

namespace quelnor {

// One user callback that may be replaced while another thread calls it.
//
// Threads: set and get may be called from any thread. get hands out a copy, so the caller runs the
// callback without the slot's lock and a set meanwhile does not wait for it.
template <typename Callback>
class CallbackSlot {
public:
    void set(Callback callback) {
        std::lock_guard<std::mutex> lock(mutex);
        current = std::move(callback);
    }

    Callback get() const {
        std::lock_guard<std::mutex> lock(mutex);
        return current;
    }

private:
    mutable std::mutex mutex;
    Callback current;
};

} // namespace quelnor
