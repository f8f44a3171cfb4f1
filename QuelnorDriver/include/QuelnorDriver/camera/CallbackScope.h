#pragma once

namespace quelnor {

// Marks the calling thread as running user callbacks of a camera while the object lives, so that
// the callback tables know a removal made from there must not wait for a call on another thread
// (that thread may be waiting for this one).
//
// Threads: any; the mark is per thread. Costs one thread-local increment and decrement.
class CallbackScope {
public:
    CallbackScope() { ++depth(); }
    ~CallbackScope() { --depth(); }
    CallbackScope(const CallbackScope&) = delete;
    CallbackScope& operator=(const CallbackScope&) = delete;

    // The calling thread is inside a user callback.
    static bool inside() { return depth() > 0; }

private:
    static int& depth() {
        thread_local int callbacks = 0;
        return callbacks;
    }
};

} // namespace quelnor
