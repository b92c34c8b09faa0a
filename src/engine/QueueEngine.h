#pragma once
// The shared work queue and the number of tasks a pass is split into.
// A process-wide singleton, created on first use and never destroyed.

#include "platform/Dispatch.h"

#include <atomic>
#include <cstdint>
#include <memory>

namespace orvanta {

class QueueEngine {
public:
    static QueueEngine *sharedQueueEngine();

    // The default-priority concurrent queue: tile passes, decoder packing,
    // exports and histogram builds run on it.
    std::shared_ptr<dispatch::Queue> sharedQueue();

    // The processor count, read once: one tile worker per processor.
    std::uint64_t optimalNumberOfTasks();
    // Fewer tile workers per pass (the command line's --threads); the
    // product does not depend on it.
    void setOptimalNumberOfTasks(std::uint64_t n) { pCount.store(n > 0 ? n : 1); }

    QueueEngine(const QueueEngine &) = delete;
    QueueEngine &operator=(const QueueEngine &) = delete;

private:
    QueueEngine() = default;

    std::shared_ptr<dispatch::Queue> _dQueue;
    std::atomic<std::uint64_t> pCount{0};
};

} // namespace orvanta
