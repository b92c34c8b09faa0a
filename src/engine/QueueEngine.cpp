#include "QueueEngine.h"

#include <mutex>
#include <unistd.h>

namespace orvanta {

QueueEngine *QueueEngine::sharedQueueEngine() {
    static std::mutex classLock;
    static QueueEngine *instance = nullptr;
    std::lock_guard lock(classLock);
    if (!instance) instance = new QueueEngine;
    return instance;
}

std::shared_ptr<dispatch::Queue> QueueEngine::sharedQueue() {
    // Every caller gets the same global queue, so filling the field from two
    // threads at once stores the same value; the atomic load/store keeps that
    // free of a data race.
    auto q = std::atomic_load(&_dQueue);
    if (!q) {
        q = dispatch::globalQueue(dispatch::Priority::Default);
        std::atomic_store(&_dQueue, q);
    }
    return q;
}

std::uint64_t QueueEngine::optimalNumberOfTasks() {
    std::uint64_t n = pCount.load(std::memory_order_relaxed);
    if (n == 0) {
        long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
        n = cpus > 0 ? static_cast<std::uint64_t>(cpus) : 1;
        pCount.store(n, std::memory_order_relaxed);
    }
    return n;
}

} // namespace orvanta
