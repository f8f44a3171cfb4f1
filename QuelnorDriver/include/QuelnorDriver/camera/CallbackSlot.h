#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>

#include "QuelnorDriver/camera/CallbackScope.h"

namespace quelnor {

// One user callback that may be replaced while another thread calls it.
//
// Threads: every member may be called from any thread, also from inside the callback. call runs the
// callback without the slot's lock. After set returns, the callback it replaced is not started
// again; called from outside any camera callback, set also waits until a call of the replaced
// callback in progress on another thread has returned (inside a camera callback it does not wait,
// as CallbackRegistry::remove). get hands out a copy for a caller that runs it itself.
template <typename Callback>
class CallbackSlot {
public:
    void set(Callback callback) {
        std::unique_lock<std::mutex> lock(mutex);
        std::shared_ptr<Held> old = std::move(current);
        current = std::make_shared<Held>(std::move(callback));
        if (old && !CallbackScope::inside()) {
            idle.wait(lock, [&] { return old->calls == 0; });
        }
    }

    Callback get() const {
        std::lock_guard<std::mutex> lock(mutex);
        return current ? current->callback : Callback();
    }

    bool isSet() const {
        std::lock_guard<std::mutex> lock(mutex);
        return current && static_cast<bool>(current->callback);
    }

    // Runs the callback (when one is set); false when none is.
    template <typename... Args>
    bool call(Args&&... args) {
        std::shared_ptr<Held> held;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!current || !current->callback) {
                return false;
            }
            held = current;
            ++held->calls;
        }
        CallEnd end{*this, *held};
        CallbackScope scope;
        held->callback(std::forward<Args>(args)...);
        return true;
    }

private:
    struct Held {
        explicit Held(Callback callback_) : callback(std::move(callback_)) {}
        const Callback callback;
        int calls = 0; // guarded by the slot's mutex
    };

    struct CallEnd {
        CallbackSlot& slot;
        Held& held;
        ~CallEnd() {
            {
                std::lock_guard<std::mutex> lock(slot.mutex);
                --held.calls;
            }
            slot.idle.notify_all();
        }
    };

    mutable std::mutex mutex;
    std::condition_variable idle;
    std::shared_ptr<Held> current;
};

} // namespace quelnor
