#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <utility>

namespace quelnor {

// A pool of preallocated objects handed out as shared pointers whose deleter returns the object
// (last in, first out). An unbounded pool makes a new object when it is empty; a bounded one waits.
// Objects may be returned from any thread, also after the pool itself is gone.
template <typename T, int Variant = 1>
class ObjectPool {
    struct Impl;

public:
    ObjectPool(size_t count, bool bounded) : m_impl(Impl::create(bounded)) {
        m_impl->checkSize(count);
        for (size_t i = 0; i < count; ++i) {
            m_impl->free.push_back(std::make_unique<T>());
        }
    }

    template <typename... Args>
    ObjectPool(size_t count, bool bounded, Args&&... args) : m_impl(Impl::create(bounded)) {
        m_impl->checkSize(count);
        for (size_t i = 0; i < count; ++i) {
            m_impl->free.push_back(std::make_unique<T>(args...));
        }
    }

    // The arguments are used only when the pool has to make a new object.
    template <typename... Args>
    std::shared_ptr<T> acquire(Args&&... args) {
        std::unique_lock<std::mutex> lock(m_impl->mutex);
        if (m_impl->free.empty()) {
            if (m_impl->bounded) {
                m_impl->cv.wait(lock, [this] { return !m_impl->free.empty(); });
            } else {
                m_impl->free.push_back(std::make_unique<T>(std::forward<Args>(args)...));
            }
        }
        std::unique_ptr<T> object = std::move(m_impl->free.back());
        m_impl->free.pop_back();
        return std::shared_ptr<T>(object.release(), Deleter{m_impl});
    }

    bool empty() const {
        std::lock_guard<std::mutex> lock(m_impl->mutex);
        return m_impl->free.empty();
    }

    size_t size() const {
        std::lock_guard<std::mutex> lock(m_impl->mutex);
        return m_impl->free.size();
    }

    bool isBounded() const { return m_impl->bounded; }

    // Frees the free objects beyond `keep` (the most recently returned stay), so an unbounded pool
    // that grew under a backlog gives its memory back. Objects in use are not touched. Any thread;
    // the objects are destroyed outside the pool's lock.
    size_t trim(size_t keep) {
        std::deque<std::unique_ptr<T>> surplus;
        {
            std::lock_guard<std::mutex> lock(m_impl->mutex);
            while (m_impl->free.size() > keep) {
                surplus.push_back(std::move(m_impl->free.front()));
                m_impl->free.pop_front();
            }
        }
        return surplus.size();
    }

private:
    struct Impl {
        std::weak_ptr<Impl> self;
        mutable std::mutex mutex;
        std::condition_variable cv;
        std::deque<std::unique_ptr<T>> free;
        bool bounded = false;

        static std::shared_ptr<Impl> create(bool bounded) {
            auto impl = std::make_shared<Impl>();
            impl->self = impl;
            impl->bounded = bounded;
            return impl;
        }

        void checkSize(size_t count) const {
            if (bounded && count == 0) {
                throw std::invalid_argument(
                    "Failed to allocate memory for the bounded object pool: pool's size can not be 0.");
            }
        }
    };

    struct Deleter {
        std::weak_ptr<Impl> pool;

        void operator()(T* raw) noexcept {
            std::unique_ptr<T> object(raw);
            if (auto impl = pool.lock()) {
                try {
                    std::lock_guard<std::mutex> lock(impl->mutex);
                    impl->free.push_back(std::move(object));
                    if (impl->bounded) {
                        impl->cv.notify_all();
                    }
                } catch (...) {
                    // Could not give it back: the unique_ptr destroys the object.
                }
            }
        }
    };

    std::shared_ptr<Impl> m_impl;
};

} // namespace quelnor
