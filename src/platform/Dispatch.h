#pragma once
// Work queues: serial queues, one shared concurrent pool with three
// priorities, groups, delayed submission and the main queue.
//
// Contract:
//  - A serial queue runs its tasks one at a time in submission order on a
//    thread of its own, started when work arrives and ended when the queue
//    runs dry. sync() on the queue's own thread runs the task at once.
//  - The global queues share one pool of threads, as many as processors.
//    High-priority tasks are taken before default ones, default before
//    background. sync() on a global queue runs the task on the caller.
//  - Group::wait() runs queued pool tasks of its own group on the waiting
//    thread, so a worker that waits for work it submitted (nested tile passes)
//    cannot deadlock the pool. A pool worker that blocks in a wait lends its
//    place to a temporary extra worker.
//  - The main queue runs on the main thread: the GUI drains it from its event
//    loop (setMainQueueWakeup), the command line and tests call
//    drainMainQueue() or runMainQueueUntil().
//  - An exception escaping a task is logged and swallowed; it never takes a
//    worker down.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace orvanta::dispatch {

using Task = std::function<void()>;

enum class Priority { High = 0, Default = 1, Background = 2 };

class Queue;

// Counts outstanding work; wait() returns when the count is back to zero.
class Group {
public:
    Group();
    void enter();
    void leave();
    void wait();
    // False when the time ran out first.
    bool waitFor(std::chrono::nanoseconds timeout);
    // Submits task to queue once the group is empty (at once if it is now).
    void notify(const std::shared_ptr<Queue> &queue, Task task);

    struct State;
    const std::shared_ptr<State> &state() const { return state_; }

private:
    std::shared_ptr<State> state_;
};

class Queue : public std::enable_shared_from_this<Queue> {
public:
    virtual ~Queue();
    virtual void async(Task task) = 0;
    // Submits into a group: the group counts the task until it has run.
    virtual void async(const Group &group, Task task);
    // Runs task and returns when it has run.
    virtual void sync(Task task) = 0;
    // True while the calling thread runs a task of this queue.
    virtual bool isCurrent() const = 0;
    const std::string &label() const { return label_; }

protected:
    explicit Queue(std::string label) : label_(std::move(label)) {}

private:
    std::string label_;
};

std::shared_ptr<Queue> globalQueue(Priority priority = Priority::Default);
std::shared_ptr<Queue> createSerialQueue(std::string label);
std::shared_ptr<Queue> mainQueue();

// Submits task to queue after the delay.
void after(std::chrono::nanoseconds delay, std::shared_ptr<Queue> queue, Task task);

// Runs body(0) … body(count − 1) on the default-priority pool, the calling
// thread taking part, and returns when all have run.
void apply(std::size_t count, const std::function<void(std::size_t)> &body);

// Number of pool threads that run at once (the processor count, at least 1).
unsigned poolWidth();
// Limits the shared pool to width workers (at least one). Meant for start-up:
// threads already running are not stopped.
void setPoolWidth(unsigned width);

// Main thread and main queue.
bool isMainThread();
// Called, from any thread, each time a task is queued on the main queue.
void setMainQueueWakeup(std::function<void()> wakeup);
// Runs the main queue's tasks until it is empty; returns how many ran.
// Main thread only.
std::size_t drainMainQueue();
// Runs main-queue tasks as they arrive until done() is true or the time
// runs out; returns done(). Main thread only.
bool runMainQueueUntil(const std::function<bool()> &done, std::chrono::nanoseconds timeout);

} // namespace orvanta::dispatch
