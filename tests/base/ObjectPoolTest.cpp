// The object pools: last in first out, growth of unbounded pools, the wait of bounded ones, and
// objects given back from any thread, also after their pool is gone (run under ASan and TSan).
#include "QuelnorBase/ObjectPool.h"
#include "QuelnorBase/QnObjectPool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace quelnor;

namespace {

using Block = std::vector<Event2D>;

// Counts live objects, so a test sees which ones were destroyed.
struct Tracked {
    static std::atomic<int> alive;
    int value = 0;
    Tracked() { ++alive; }
    explicit Tracked(int v) : value(v) { ++alive; }
    ~Tracked() { --alive; }
};
std::atomic<int> Tracked::alive{0};

// Waits (without a deadline of its own) until `done` is set, failing the test after a generous time.
bool waitFor(const std::atomic<bool>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done;
}

} // namespace

TEST(ObjectPool, BoundedPoolOfNothingIsRefusedUnboundedOneMakesObjectsOnDemand) {
    try {
        ObjectPool<Block> pool(0, true);
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Failed to allocate memory for the bounded object pool: pool's size can not be 0.");
    }
    ObjectPool<Block> pool(0, false);
    EXPECT_TRUE(pool.empty());
    auto block = pool.acquire(size_t(320));
    EXPECT_EQ(block->size(), 320u);
    block.reset();
    EXPECT_EQ(pool.size(), 1u);
    EXPECT_FALSE(pool.isBounded());
}

TEST(ObjectPool, UnboundedPoolGrowsByObjectsMadeFromTheArgumentsOfAcquire) {
    for (const bool withArgument : {false, true}) {
        SCOPED_TRACE(withArgument);
        ObjectPool<Block> pool(3, false, size_t(320));
        std::vector<std::shared_ptr<Block>> held;
        for (int i = 0; i < 3; ++i) {
            held.push_back(pool.acquire());
            EXPECT_EQ(held.back()->size(), 320u);
        }
        EXPECT_TRUE(pool.empty());
        held.push_back(withArgument ? pool.acquire(size_t(320)) : pool.acquire());
        EXPECT_EQ(held.back()->size(), withArgument ? 320u : 0u);
        held.clear();
        EXPECT_EQ(pool.size(), 4u);
    }
}

TEST(ObjectPool, HandsOutTheMostRecentlyReturnedObjectFirst) {
    ObjectPool<Block> pool(2, false);
    auto a = pool.acquire();
    auto b = pool.acquire();
    Block* const first = a.get();
    Block* const second = b.get();
    a.reset();
    b.reset();
    EXPECT_EQ(pool.acquire().get(), second);
    // The temporary went back at once: it is again the first one handed out.
    auto again = pool.acquire();
    EXPECT_EQ(again.get(), second);
    EXPECT_EQ(pool.acquire().get(), first);
}

TEST(ObjectPool, CountsOnlyFreeObjectsAndReturnsThemAsTheyWere) {
    ObjectPool<Block> pool(10, false, size_t(320));
    std::vector<std::shared_ptr<Block>> inUse = {pool.acquire(), pool.acquire(), pool.acquire()};
    EXPECT_EQ(pool.size(), 7u);
    EXPECT_FALSE(pool.empty());

    inUse[0]->resize(5);
    (*inUse[0])[4] = Event2D(1, 2, 1, 99);
    Block* const changed = inUse[0].get();
    inUse[2].reset();
    inUse[1].reset();
    inUse[0].reset(); // the last one given back
    auto back = pool.acquire();
    ASSERT_EQ(back.get(), changed);
    ASSERT_EQ(back->size(), 5u);
    EXPECT_EQ((*back)[4], Event2D(1, 2, 1, 99));
}

TEST(ObjectPool, ObjectsOutliveTheirPoolAndAreDestroyedWhenDropped) {
    Tracked::alive = 0;
    std::shared_ptr<Tracked> kept;
    {
        ObjectPool<Tracked> pool(3, false, 7);
        EXPECT_EQ(Tracked::alive, 3);
        kept = pool.acquire();
        EXPECT_EQ(kept->value, 7);
    }
    // The two free objects went with the pool; the one in use stays valid.
    EXPECT_EQ(Tracked::alive, 1);
    kept->value = 8;
    // Dropped on another thread, after the pool is gone.
    std::thread([k = std::move(kept)]() mutable { k.reset(); }).join();
    EXPECT_EQ(Tracked::alive, 0);
}

TEST(ObjectPool, BoundedPoolWaitsUntilAnotherThreadGivesBack) {
    ObjectPool<Block> pool(1, true, size_t(16));
    auto only = pool.acquire();
    Block* const object = only.get();
    std::atomic<bool> got{false};
    Block* received = nullptr;
    std::thread waiter([&] {
        auto block = pool.acquire();
        received = block.get();
        got = true;
    });
    // It must still be waiting: nothing has been given back.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(got);
    only.reset();
    EXPECT_TRUE(waitFor(got));
    waiter.join();
    EXPECT_EQ(received, object);
    EXPECT_EQ(pool.size(), 1u);
}

TEST(ObjectPool, GivingBackWakesEveryWaiterOfABoundedPool) {
    ObjectPool<Block> pool(2, true);
    std::vector<std::shared_ptr<Block>> held = {pool.acquire(), pool.acquire()};
    std::atomic<int> served{0};
    std::mutex mutex;
    std::condition_variable release;
    bool releaseAll = false;
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i) {
        waiters.emplace_back([&] {
            auto block = pool.acquire();
            ++served;
            std::unique_lock<std::mutex> lock(mutex);
            release.wait(lock, [&] { return releaseAll; });
        });
    }
    held.clear(); // both given back at once; each waiter gets one
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
         served < 2 && std::chrono::steady_clock::now() < deadline;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(served, 2);
    EXPECT_TRUE(pool.empty());
    {
        std::lock_guard<std::mutex> lock(mutex);
        releaseAll = true;
    }
    release.notify_all();
    for (std::thread& t : waiters) {
        t.join();
    }
    EXPECT_EQ(pool.size(), 2u);
}

TEST(ObjectPool, ManyThreadsAcquireAndGiveBack) {
    constexpr int THREADS = 6;
    constexpr int ROUNDS = 2000;
    ObjectPool<Block> pool(2, false, size_t(8));
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&pool, t] {
            for (int i = 0; i < ROUNDS; ++i) {
                auto block = pool.acquire(size_t(8));
                (*block)[0] = Event2D(static_cast<uint16_t>(t), 0, 0, static_cast<uint64_t>(i));
                auto copy = block; // the last of the two holders gives it back
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    // Never more objects than could be in use at once.
    EXPECT_GE(pool.size(), 2u);
    EXPECT_LE(pool.size(), static_cast<size_t>(2 + THREADS));
}

TEST(QnObjectPool, CopiesOfAWrapperShareOnePool) {
    QnObjectPoolWrapper<Block> wrapper(4);
    QnObjectPoolWrapper<Block> copy(wrapper);
    QnObjectPoolWrapper<Block> assigned(1);
    assigned = wrapper;
    auto block = copy.acquire();
    EXPECT_EQ(wrapper.size(), 3u);
    EXPECT_EQ(assigned.size(), 3u);
    block.reset();
    EXPECT_EQ(wrapper.size(), 4u);
    EXPECT_EQ(QnObjectPoolWrapper<Block>().size(), 64u);
}

TEST(QnObjectPool, FactoryPoolsBehindTheInterface) {
    std::unique_ptr<QnObjectPool<Block>> plain = QnObjectPoolFactory::createUniqueQnObjectPool<Block>(2);
    std::unique_ptr<QnObjectPool<Block>> sized = QnObjectPoolFactory::createUniqueQnObjectPoolWithArgs<Block>(2, 320);
    EXPECT_EQ(plain->size(), 2u);
    EXPECT_EQ(plain->acquire()->size(), 0u);
    auto a = sized->acquire();
    auto b = sized->acquire();
    EXPECT_EQ(a->size(), 320u);
    EXPECT_TRUE(sized->empty());
    // Made on demand without the argument: the wrapper's acquire passes none.
    auto c = sized->acquire();
    EXPECT_EQ(c->size(), 0u);
    // Destroyed through the base interface while its objects are in use.
    std::unique_ptr<QnObjectPoolBase> base = std::move(sized);
    base.reset();
    a->push_back(Event2D());
    EXPECT_EQ(a->size(), 321u);
}
