#include "platform/Dispatch.h"

#include <atomic>
#include <gtest/gtest.h>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace orvanta;
using namespace std::chrono_literals;

TEST(SerialQueue, RunsTasksOneAtATimeInSubmissionOrder) {
    auto q = dispatch::createSerialQueue("test.serial");
    constexpr int kThreads = 4, kPerThread = 500;
    std::vector<std::pair<int, int>> seen; // written only by the queue
    std::atomic<int> running{0}, overlaps{0};
    dispatch::Group done;
    std::vector<std::thread> submitters;
    for (int t = 0; t < kThreads; ++t)
        submitters.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i)
                q->async(done, [&, t, i] {
                    if (running.fetch_add(1) != 0) overlaps++;
                    seen.emplace_back(t, i);
                    running.fetch_sub(1);
                });
        });
    for (auto &s : submitters)
        s.join();
    done.wait();
    EXPECT_EQ(overlaps.load(), 0);
    ASSERT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kPerThread));
    std::vector<int> next(kThreads, 0);
    for (auto [t, i] : seen)
        EXPECT_EQ(i, next[t]++) << "tasks of one submitter ran out of order";
}

TEST(SerialQueue, SyncWaitsAndRunsInlineOnItsOwnThread) {
    auto q = dispatch::createSerialQueue("test.sync");
    std::vector<int> order;
    q->async([&] {
        std::this_thread::sleep_for(20ms);
        order.push_back(1);
    });
    q->sync([&] { order.push_back(2); });
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    bool inner = false;
    q->sync([&] {
        EXPECT_TRUE(q->isCurrent());
        q->sync([&] { inner = true; }); // would deadlock if not run at once
    });
    EXPECT_TRUE(inner);
    EXPECT_FALSE(q->isCurrent());
}

TEST(Group, WaitReturnsOnlyAfterEveryTaskUnderContention) {
    auto pool = dispatch::globalQueue();
    for (int round = 0; round < 20; ++round) {
        dispatch::Group g;
        std::atomic<int> count{0};
        constexpr int kTasks = 200;
        for (int i = 0; i < kTasks; ++i)
            pool->async(g, [&count, i] {
                if (i % 7 == 0) std::this_thread::yield();
                count.fetch_add(1);
            });
        g.wait();
        ASSERT_EQ(count.load(), kTasks);
    }
}

TEST(Group, NestedWaitsInsidePoolWorkersDoNotDeadlock) {
    // Every pool thread waits for work it queued behind itself, as an engine
    // running its source from inside a tile pass does.
    auto pool = dispatch::globalQueue();
    const int outer = static_cast<int>(dispatch::poolWidth()) * 3;
    std::atomic<int> innerRuns{0};
    dispatch::Group all;
    for (int o = 0; o < outer; ++o)
        pool->async(all, [&] {
            dispatch::Group inner;
            for (int i = 0; i < 8; ++i)
                pool->async(inner, [&] { innerRuns++; });
            inner.wait();
        });
    ASSERT_TRUE(all.waitFor(30s)) << "nested group waits deadlocked the pool";
    EXPECT_EQ(innerRuns.load(), outer * 8);
}

TEST(Group, BlockedWorkersDoNotStarveThePool) {
    // Workers blocked on something other than their own group (here a serial
    // queue) lend their place, so later work still runs.
    auto pool = dispatch::globalQueue();
    auto gate = dispatch::createSerialQueue("test.gate");
    std::atomic<bool> open{false};
    gate->async([&] {
        while (!open)
            std::this_thread::sleep_for(1ms);
    });
    dispatch::Group blocked;
    for (unsigned i = 0; i < dispatch::poolWidth(); ++i)
        pool->async(blocked, [&] { gate->sync([] {}); });
    dispatch::Group later;
    std::atomic<bool> ran{false};
    pool->async(later, [&] { ran = true; });
    EXPECT_TRUE(later.waitFor(10s));
    EXPECT_TRUE(ran);
    open = true;
    EXPECT_TRUE(blocked.waitFor(10s));
}

TEST(Group, NotifyAndTimeout) {
    dispatch::Group g;
    g.enter();
    EXPECT_FALSE(g.waitFor(10ms));
    auto q = dispatch::createSerialQueue("test.notify");
    std::atomic<bool> notified{false};
    g.notify(q, [&] { notified = true; });
    EXPECT_FALSE(notified);
    g.leave();
    EXPECT_TRUE(g.waitFor(1s));
    q->sync([] {});
    EXPECT_TRUE(notified);
}

TEST(Dispatch, ExceptionsInTasksAreContained) {
    dispatch::Group g;
    std::atomic<int> after{0};
    dispatch::globalQueue()->async(g, [] { throw std::runtime_error("boom"); });
    dispatch::globalQueue()->async(g, [&] { after++; });
    g.wait();
    EXPECT_EQ(after.load(), 1);
}

TEST(Dispatch, ApplyCoversEveryIndexOnce) {
    std::vector<std::atomic<int>> hits(1000);
    dispatch::apply(hits.size(), [&](std::size_t i) { hits[i]++; });
    for (auto &h : hits)
        EXPECT_EQ(h.load(), 1);
}

TEST(Dispatch, PrioritiesAllRun) {
    dispatch::Group g;
    std::atomic<int> n{0};
    for (auto p : {dispatch::Priority::High, dispatch::Priority::Default, dispatch::Priority::Background})
        dispatch::globalQueue(p)->async(g, [&] { n++; });
    g.wait();
    EXPECT_EQ(n.load(), 3);
}

TEST(MainQueue, RunsOnTheMainThreadWhenDrained) {
    ASSERT_TRUE(dispatch::isMainThread()) << "gtest runs tests on the main thread";
    std::atomic<int> wakeups{0};
    dispatch::setMainQueueWakeup([&] { wakeups++; });
    std::atomic<bool> ranOnMain{false};
    std::thread other([&] {
        EXPECT_FALSE(dispatch::isMainThread());
        dispatch::mainQueue()->async([&] { ranOnMain = dispatch::isMainThread(); });
    });
    other.join();
    EXPECT_EQ(wakeups.load(), 1);
    EXPECT_FALSE(ranOnMain);
    EXPECT_EQ(dispatch::drainMainQueue(), 1u);
    EXPECT_TRUE(ranOnMain);
    dispatch::setMainQueueWakeup(nullptr);

    // A worker's sync to the main queue completes while the main thread runs it.
    std::atomic<bool> synced{false};
    std::thread worker([&] {
        dispatch::mainQueue()->sync([] {});
        synced = true;
    });
    EXPECT_TRUE(dispatch::runMainQueueUntil([&] { return synced.load(); }, 10s));
    worker.join();
}

TEST(Dispatch, AfterDelaysSubmission) {
    auto start = std::chrono::steady_clock::now();
    std::atomic<bool> fired{false};
    dispatch::after(30ms, dispatch::mainQueue(), [&] { fired = true; });
    dispatch::drainMainQueue();
    EXPECT_FALSE(fired);
    EXPECT_TRUE(dispatch::runMainQueueUntil([&] { return fired.load(); }, 10s));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
}
