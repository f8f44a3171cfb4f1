#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "QuelnorDriver/camera/CallbackScope.h"

namespace quelnor {

// User callbacks of one kind under the ids they were added with; ids count up from 0 and are never
// given out twice.
//
// Threads: every member may be called from any thread, also from inside a callback that callAll
// runs. callAll runs the callbacks without holding the registry's lock, from the list as it was when
// the call began; a callback removed meanwhile is skipped, one added meanwhile runs from the next
// callAll on.
//
// After remove returns, the callback is not started again. Called from outside any camera callback,
// remove also waits until a call of that callback in progress on another thread has returned, so the
// caller may then release what the callback uses. Called from inside a camera callback (a
// CallbackScope, which callAll opens), remove does not wait: the call in progress may be the
// caller's own, or one on a thread that waits for the caller. The callback removing itself is
// therefore safe, and its current call finishes normally.
//
// Costs: add and remove copy the list of callbacks; callAll copies one shared pointer under the lock,
// then makes two atomic updates per callback (the lock again only to wake a waiting remove).
template <typename Callback>
class CallbackRegistry {
public:
    uint32_t add(Callback callback) {
        std::lock_guard<std::mutex> lock(mutex);
        const uint32_t id = nextId++;
        auto next = std::make_shared<List>(*list);
        next->push_back(std::make_shared<Entry>(id, std::move(callback)));
        list = std::move(next);
        return id;
    }

    // False when no callback has that id.
    bool remove(uint32_t id) {
        std::unique_lock<std::mutex> lock(mutex);
        std::shared_ptr<Entry> removed;
        auto next = std::make_shared<List>();
        next->reserve(list->size());
        for (const std::shared_ptr<Entry>& entry : *list) {
            if (entry->id == id) {
                removed = entry;
            } else {
                next->push_back(entry);
            }
        }
        if (!removed) {
            return false;
        }
        removed->removed.store(true);
        list = std::move(next);
        if (!CallbackScope::inside()) {
            idle.wait(lock, [&] { return removed->calls.load() == 0; });
        }
        return true;
    }

    // Forgets every callback (waiting as remove does); the ids keep counting.
    void clear() {
        std::unique_lock<std::mutex> lock(mutex);
        std::shared_ptr<const List> old = std::move(list);
        list = std::make_shared<List>();
        for (const std::shared_ptr<Entry>& entry : *old) {
            entry->removed.store(true);
        }
        if (!CallbackScope::inside()) {
            idle.wait(lock, [&] {
                for (const std::shared_ptr<Entry>& entry : *old) {
                    if (entry->calls.load() != 0) {
                        return false;
                    }
                }
                return true;
            });
        }
    }

    bool empty() const {
        std::lock_guard<std::mutex> lock(mutex);
        return list->empty();
    }

    template <typename... Args>
    void callAll(Args&&... args) {
        std::shared_ptr<const List> current;
        {
            std::lock_guard<std::mutex> lock(mutex);
            current = list;
        }
        if (current->empty()) {
            return;
        }
        CallbackScope scope;
        for (const std::shared_ptr<Entry>& entry : *current) {
            // The call is counted before the mark is read, and remove marks before it reads the
            // count (both sequentially consistent): either this call sees the mark, or remove sees
            // the call and waits for it.
            entry->calls.fetch_add(1);
            CallEnd end{*this, *entry};
            if (entry->removed.load()) {
                continue;
            }
            entry->callback(args...);
        }
    }

    // Copies of the callbacks, for a caller that runs them itself (without remove's wait).
    std::vector<Callback> snapshot() const {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<Callback> copies;
        copies.reserve(list->size());
        for (const std::shared_ptr<Entry>& entry : *list) {
            copies.push_back(entry->callback);
        }
        return copies;
    }

private:
    struct Entry {
        Entry(uint32_t id_, Callback callback_) : id(id_), callback(std::move(callback_)) {}
        const uint32_t id;
        const Callback callback;
        std::atomic<bool> removed{false}; // set under the registry's mutex
        std::atomic<int> calls{0};        // calls in progress
    };
    using List = std::vector<std::shared_ptr<Entry>>;

    // Ends one call, also when the callback throws.
    struct CallEnd {
        CallbackRegistry& registry;
        Entry& entry;
        ~CallEnd() {
            if (entry.calls.fetch_sub(1) == 1 && entry.removed.load()) {
                // A remove may wait for this call: it holds the mutex from its check until it waits.
                {
                    std::lock_guard<std::mutex> lock(registry.mutex);
                }
                registry.idle.notify_all();
            }
        }
    };

    mutable std::mutex mutex;
    std::condition_variable idle;
    std::shared_ptr<const List> list = std::make_shared<List>();
    uint32_t nextId = 0;
};

} // namespace quelnor
