#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "QuelnorBase/Event2D.h"
#include "QuelnorBase/ObjectPool.h"

namespace quelnor {

class QnObjectPoolBase {
public:
    virtual ~QnObjectPoolBase() = default;
    virtual bool empty() const = 0;
    virtual size_t size() const = 0;
};

template <typename T>
class QnObjectPool : public QnObjectPoolBase {
public:
    virtual std::shared_ptr<T> acquire() = 0;
};

// An unbounded pool behind the abstract interface; copies share one pool.
template <typename T>
class QnObjectPoolWrapper : public QnObjectPool<T> {
public:
    explicit QnObjectPoolWrapper(size_t count = 64) : m_pool(count, false) {}
    QnObjectPoolWrapper(size_t count, int argument) : m_pool(count, false, argument) {}
    QnObjectPoolWrapper(const QnObjectPoolWrapper&) = default;
    QnObjectPoolWrapper& operator=(const QnObjectPoolWrapper&) = default;
    ~QnObjectPoolWrapper() override = default;

    bool empty() const override { return m_pool.empty(); }
    size_t size() const override { return m_pool.size(); }
    std::shared_ptr<T> acquire() override { return m_pool.acquire(); }

private:
    ObjectPool<T, 1> m_pool;
};

class QnObjectPoolFactory {
public:
    template <typename T>
    static std::unique_ptr<QnObjectPool<T>> createUniqueQnObjectPool(size_t count) {
        return std::make_unique<QnObjectPoolWrapper<T>>(count);
    }

    template <typename T>
    static std::unique_ptr<QnObjectPool<T>> createUniqueQnObjectPoolWithArgs(size_t count, int argument) {
        return std::make_unique<QnObjectPoolWrapper<T>>(count, argument);
    }
};

extern template class QnObjectPoolWrapper<std::vector<Event2D>>;

} // namespace quelnor
