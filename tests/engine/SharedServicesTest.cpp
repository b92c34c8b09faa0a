#include "engine/IntermediateProductCache.h"
#include "engine/QueueEngine.h"
#include "engine/ReadWriteLock.h"
#include "platform/Log.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

using namespace orvanta;
using namespace std::chrono_literals;

namespace {
struct Product : Object {
    explicit Product(int i) : id(i) {}
    std::string className() const override { return "Product"; }
    int id;
};

// Calls f from several threads released at the same moment.
template <class F> void raceFrom(int threads, F f) {
    std::atomic<bool> go{false};
    std::vector<std::thread> ts;
    for (int i = 0; i < threads; ++i)
        ts.emplace_back([&] {
            while (!go)
                std::this_thread::yield();
            f();
        });
    go = true;
    for (auto &t : ts)
        t.join();
}
} // namespace

TEST(QueueEngine, SingletonIsOneInstanceFromRacingThreads) {
    std::vector<QueueEngine *> seen(8);
    std::atomic<int> slot{0};
    raceFrom(8, [&] { seen[slot++] = QueueEngine::sharedQueueEngine(); });
    for (auto *p : seen)
        EXPECT_EQ(p, seen[0]);

    std::vector<IntermediateProductCache *> caches(8);
    slot = 0;
    raceFrom(8, [&] { caches[slot++] = IntermediateProductCache::sharedIntermediateProductCache(); });
    for (auto *p : caches)
        EXPECT_EQ(p, caches[0]);
}

TEST(QueueEngine, TaskCountIsTheProcessorCountAndTheQueueIsShared) {
    auto *engine = QueueEngine::sharedQueueEngine();
    EXPECT_EQ(engine->optimalNumberOfTasks(), std::max(1u, std::thread::hardware_concurrency()));
    EXPECT_EQ(engine->optimalNumberOfTasks(), engine->optimalNumberOfTasks());
    EXPECT_EQ(engine->sharedQueue(), dispatch::globalQueue(dispatch::Priority::Default));
    dispatch::Group g;
    std::atomic<std::uint64_t> ran{0};
    for (std::uint64_t i = 0; i < engine->optimalNumberOfTasks(); ++i)
        engine->sharedQueue()->async(g, [&] { ran++; });
    g.wait();
    EXPECT_EQ(ran.load(), engine->optimalNumberOfTasks());
}

TEST(IntermediateProductCache, StoresRemovesAndEvictsBeyondTwo) {
    auto *cache = IntermediateProductCache::sharedIntermediateProductCache();
    cache->removeAllObjects();
    cache->cacheItem(std::make_shared<Product>(1), "0x1MedianTiledEngine");
    cache->cacheItem(std::make_shared<Product>(2), "0x2MedianTiledEngine");
    ASSERT_TRUE(cache->retrieveItem("0x1MedianTiledEngine"));
    EXPECT_EQ(std::static_pointer_cast<Product>(cache->retrieveItem("0x2MedianTiledEngine"))->id, 2);

    // A missing object removes the key.
    cache->cacheItem(nullptr, "0x2MedianTiledEngine");
    EXPECT_FALSE(cache->retrieveItem("0x2MedianTiledEngine"));

    // A third product evicts one of the earlier ones: at most two are kept.
    cache->cacheItem(std::make_shared<Product>(2), "0x2MedianTiledEngine");
    std::weak_ptr<Object> watch = cache->retrieveItem("0x1MedianTiledEngine");
    cache->cacheItem(std::make_shared<Product>(3), "0x3MedianTiledEngine");
    int kept = 0;
    for (const char *k : {"0x1MedianTiledEngine", "0x2MedianTiledEngine", "0x3MedianTiledEngine"})
        kept += cache->retrieveItem(k) != nullptr;
    EXPECT_EQ(kept, 2);
    EXPECT_TRUE(cache->retrieveItem("0x3MedianTiledEngine")) << "the newest product is kept";

    cache->removeAllObjects();
    EXPECT_FALSE(cache->retrieveItem("0x3MedianTiledEngine"));
    EXPECT_TRUE(watch.expired()) << "evicted and removed products are released";
}

TEST(IntermediateProductCache, StartupMessages) {
    const double gib = 1024.0 * 1024.0 * 1024.0;
    EXPECT_EQ(IntermediateProductCache::startupMessage(true, 64 * gib), "Cache disabled in preferences");
    EXPECT_EQ(IntermediateProductCache::startupMessage(false, 8 * gib),
              "Cache enabled - Physical memory 8192.00MB");
    EXPECT_EQ(IntermediateProductCache::startupMessage(false, 8 * gib - 1),
              "Cache disabled - Physical memory 8192.00MB");
    EXPECT_EQ(IntermediateProductCache::startupMessage(false, 4 * gib),
              "Cache disabled - Physical memory 4096.00MB");
}

TEST(ReadWriteLock, TryWriteDoesNotBlockWhileAReaderHolds) {
    auto lock = ReadWriteLock::create();
    ASSERT_TRUE(lock);
    std::atomic<bool> readerIn{false}, release{false};
    std::thread reader([&] {
        lock->lockForRead();
        readerIn = true;
        while (!release)
            std::this_thread::sleep_for(1ms);
        lock->unlock();
    });
    while (!readerIn)
        std::this_thread::yield();

    std::atomic<bool> answered{false}, got{true};
    std::thread writer([&] {
        got = lock->canWriteLock();
        answered = true;
    });
    writer.join(); // returns at once: a blocking try would hang here
    EXPECT_TRUE(answered);
    EXPECT_FALSE(got);
    EXPECT_TRUE(lock->canReadLock()) << "readers share the lock";
    lock->unlock();
    release = true;
    reader.join();

    EXPECT_TRUE(lock->canWriteLock());
    std::thread other([&] { EXPECT_FALSE(lock->canReadLock()); });
    other.join();
    lock->unlock();
}

TEST(ReadWriteLock, WritersExcludeReaders) {
    auto lock = ReadWriteLock::create();
    ASSERT_TRUE(lock);
    int shared = 0;
    std::atomic<int> torn{0};
    raceFrom(4, [&] {
        for (int i = 0; i < 2000; ++i) {
            if (i % 4 == 0) {
                lock->lockForWrite();
                shared++;
                shared++;
                lock->unlock();
            } else {
                lock->lockForRead();
                if (shared % 2) torn++;
                lock->unlock();
            }
        }
    });
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(shared, 4 * 500 * 2);
}
