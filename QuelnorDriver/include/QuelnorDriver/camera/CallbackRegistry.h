#pragma once

#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

namespace quelnor {

// User callbacks of one kind under the ids they were added with; ids count up from 0 and are never
// given out twice.
//
// Threads: every member may be called from any thread. callAll holds the registry's lock while the
// callbacks run, so a callback called by it must not add or remove callbacks of the same registry;
// snapshot lets the caller run them without the lock.
template <typename Callback>
class CallbackRegistry {
public:
    uint32_t add(Callback callback) {
        std::lock_guard<std::mutex> lock(mutex);
        const uint32_t id = nextId++;
        callbacks.emplace(id, std::move(callback));
        return id;
    }

    // False when no callback has that id.
    bool remove(uint32_t id) {
        std::lock_guard<std::mutex> lock(mutex);
        return callbacks.erase(id) > 0;
    }

    // Forgets every callback; the ids keep counting.
    void clear() {
        std::lock_guard<std::mutex> lock(mutex);
        callbacks.clear();
    }

    bool empty() const {
        std::lock_guard<std::mutex> lock(mutex);
        return callbacks.empty();
    }

    template <typename... Args>
    void callAll(Args&&... args) {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto& [id, callback] : callbacks) {
            callback(args...);
        }
    }

    std::vector<Callback> snapshot() const {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<Callback> copies;
        copies.reserve(callbacks.size());
        for (const auto& [id, callback] : callbacks) {
            copies.push_back(callback);
        }
        return copies;
    }

private:
    mutable std::mutex mutex;
    std::unordered_map<uint32_t, Callback> callbacks;
    uint32_t nextId = 0;
};

} // namespace quelnor
