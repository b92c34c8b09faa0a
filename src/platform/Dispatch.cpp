#include "Dispatch.h"

#include "Log.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace orvanta::dispatch {

struct Group::State {
    std::mutex m;
    std::condition_variable cv;
    long count = 0;
    // Bumped whenever a task of this group is queued on the pool, so a waiter
    // that found nothing to help with wakes up to look again.
    std::uint64_t generation = 0;
    std::vector<std::pair<std::shared_ptr<Queue>, Task>> notifications;

    void enter() {
        std::lock_guard lock(m);
        ++count;
    }
    void leave() {
        std::vector<std::pair<std::shared_ptr<Queue>, Task>> fire;
        {
            std::lock_guard lock(m);
            if (--count > 0) return;
            count = 0;
            fire.swap(notifications);
        }
        cv.notify_all();
        for (auto &[q, t] : fire)
            q->async(std::move(t));
    }
    void bump() {
        {
            std::lock_guard lock(m);
            ++generation;
        }
        cv.notify_all();
    }
};

namespace {

const std::thread::id gMainThreadId = std::this_thread::get_id();
thread_local const Queue *tlCurrentQueue = nullptr;
thread_local bool tlIsPoolWorker = false;

void runGuarded(const Task &task) {
    try {
        task();
    } catch (const std::exception &e) {
        logMessage("dispatch: task ended by exception: %s", e.what());
    } catch (...) {
        logMessage("dispatch: task ended by an unknown exception");
    }
}

struct PoolItem {
    Task fn;
    std::shared_ptr<Group::State> group;
};

// The shared pool behind the three global queues. Leaked on purpose: its
// threads live as long as the process.
class Pool {
public:
    Pool() : target_(std::max(1u, std::thread::hardware_concurrency())) {}

    unsigned width() const { return target_.load(); }
    // Fewer (or more) running workers from now on; threads beyond the new
    // width finish their task and are not replaced.
    void setWidth(unsigned n) {
        std::lock_guard lock(m_);
        target_ = std::max(1u, n);
    }

    void submit(PoolItem item, Priority priority) {
        auto group = item.group;
        {
            std::lock_guard lock(m_);
            queues_[static_cast<int>(priority)].push_back(std::move(item));
            if (idle_ > 0)
                cv_.notify_one();
            else if (threads_ - blocked_ < target_)
                spawnLocked();
        }
        if (group) group->bump();
    }

    // Takes one queued task of the group off the pool and runs it here.
    bool runOneOf(Group::State *group) {
        PoolItem item;
        {
            std::lock_guard lock(m_);
            bool found = false;
            for (auto &q : queues_) {
                auto it = std::find_if(q.begin(), q.end(),
                                       [&](const PoolItem &i) { return i.group.get() == group; });
                if (it != q.end()) {
                    item = std::move(*it);
                    q.erase(it);
                    found = true;
                    break;
                }
            }
            if (!found) return false;
        }
        runGuarded(item.fn);
        item.group->leave();
        return true;
    }

    void blockingBegin() {
        std::lock_guard lock(m_);
        ++blocked_;
        if (idle_ == 0 && threads_ - blocked_ < target_ && hasWorkLocked()) spawnLocked();
    }

    void blockingEnd() {
        std::lock_guard lock(m_);
        --blocked_;
        // Surplus idle workers may now retire.
        if (threads_ - blocked_ > target_) cv_.notify_all();
    }

private:
    bool hasWorkLocked() const {
        return std::any_of(std::begin(queues_), std::end(queues_), [](const auto &q) { return !q.empty(); });
    }

    void spawnLocked() {
        try {
            std::thread([this] { workerLoop(); }).detach();
            ++threads_;
        } catch (const std::system_error &e) {
            logMessage("dispatch: could not start a pool thread: %s", e.what());
        }
    }

    void workerLoop() {
        tlIsPoolWorker = true;
        std::unique_lock lock(m_);
        for (;;) {
            PoolItem item;
            bool found = false;
            for (auto &q : queues_) {
                if (!q.empty()) {
                    item = std::move(q.front());
                    q.pop_front();
                    found = true;
                    break;
                }
            }
            if (!found) {
                if (threads_ - blocked_ > target_) break; // a surplus worker retires
                ++idle_;
                cv_.wait(lock);
                --idle_;
                continue;
            }
            lock.unlock();
            runGuarded(item.fn);
            if (item.group) item.group->leave();
            item = PoolItem{};
            lock.lock();
        }
        --threads_;
    }

    std::atomic<unsigned> target_;
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<PoolItem> queues_[3];
    unsigned threads_ = 0, idle_ = 0, blocked_ = 0;
};

Pool &pool() {
    static Pool *p = new Pool;
    return *p;
}

// Marks a pool worker as blocked for the scope, so the pool keeps its width.
class BlockingScope {
public:
    BlockingScope() : worker_(tlIsPoolWorker) {
        if (worker_) pool().blockingBegin();
    }
    ~BlockingScope() {
        if (worker_) pool().blockingEnd();
    }

private:
    bool worker_;
};

class GlobalQueue final : public Queue {
public:
    GlobalQueue(Priority p, std::string label) : Queue(std::move(label)), priority_(p) {}
    void async(Task task) override { pool().submit(PoolItem{std::move(task), nullptr}, priority_); }
    void async(const Group &group, Task task) override {
        group.state()->enter();
        pool().submit(PoolItem{std::move(task), group.state()}, priority_);
    }
    void sync(Task task) override { runGuarded(task); }
    bool isCurrent() const override { return false; }

private:
    Priority priority_;
};

// Waits for a task handed to another thread.
struct Completion {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    void signal() {
        {
            std::lock_guard lock(m);
            done = true;
        }
        cv.notify_all();
    }
    void wait() {
        BlockingScope scope;
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return done; });
    }
};

// Runs task on queue and waits for it; at once when the caller is already
// running on that queue (waiting for itself would never end).
void syncOn(Queue &queue, bool runHere, const Task &task) {
    if (runHere) {
        runGuarded(task);
        return;
    }
    auto done = std::make_shared<Completion>();
    queue.async([&task, done] {
        runGuarded(task);
        done->signal();
    });
    done->wait();
}

class SerialQueue final : public Queue {
public:
    explicit SerialQueue(std::string label) : Queue(std::move(label)) {}

    void async(Task task) override {
        bool start = false;
        {
            std::lock_guard lock(m_);
            tasks_.push_back(std::move(task));
            if (!draining_) draining_ = start = true;
        }
        if (!start) return;
        auto self = std::static_pointer_cast<SerialQueue>(shared_from_this());
        try {
            std::thread([self] { self->drain(); }).detach();
        } catch (const std::system_error &e) {
            // No thread to be had: keep the order by draining here.
            logMessage("dispatch: could not start a thread for queue %s: %s", label().c_str(), e.what());
            drain();
        }
    }

    void sync(Task task) override { syncOn(*this, isCurrent(), task); }

    bool isCurrent() const override { return tlCurrentQueue == this; }

private:
    void drain() {
        const Queue *previous = tlCurrentQueue;
        tlCurrentQueue = this;
        for (;;) {
            Task task;
            {
                std::lock_guard lock(m_);
                if (tasks_.empty()) {
                    draining_ = false;
                    break;
                }
                task = std::move(tasks_.front());
                tasks_.pop_front();
            }
            runGuarded(task);
        }
        tlCurrentQueue = previous;
    }

    std::mutex m_;
    std::deque<Task> tasks_;
    bool draining_ = false;
};

class MainQueue final : public Queue {
public:
    MainQueue() : Queue("main") {}

    void async(Task task) override {
        std::function<void()> wake;
        {
            std::lock_guard lock(m_);
            tasks_.push_back(std::move(task));
            wake = wakeup_;
        }
        cv_.notify_all();
        if (wake) wake();
    }

    void sync(Task task) override { syncOn(*this, isMainThread(), task); }

    bool isCurrent() const override { return isMainThread() && tlCurrentQueue == this; }

    void setWakeup(std::function<void()> wake) {
        std::lock_guard lock(m_);
        wakeup_ = std::move(wake);
    }

    std::size_t drain() {
        std::size_t n = 0;
        const Queue *previous = tlCurrentQueue;
        tlCurrentQueue = this;
        for (;;) {
            Task task;
            {
                std::lock_guard lock(m_);
                if (tasks_.empty()) break;
                task = std::move(tasks_.front());
                tasks_.pop_front();
            }
            runGuarded(task);
            ++n;
        }
        tlCurrentQueue = previous;
        return n;
    }

    bool runUntil(const std::function<bool()> &done, std::chrono::nanoseconds timeout) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            drain();
            if (done()) return true;
            auto now = std::chrono::steady_clock::now();
            if (now >= deadline) return done();
            // Wake for new tasks, and now and then to look at done() again,
            // which other threads may change without queueing anything.
            std::unique_lock lock(m_);
            cv_.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(5)),
                           [&] { return !tasks_.empty(); });
        }
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<Task> tasks_;
    std::function<void()> wakeup_;
};

MainQueue &mainQueueImpl() {
    static auto *q = new std::shared_ptr<MainQueue>(std::make_shared<MainQueue>());
    return **q;
}

// Runs delayed submissions from one timer thread.
class Timer {
public:
    void schedule(std::chrono::steady_clock::time_point when, std::shared_ptr<Queue> q, Task t) {
        {
            std::lock_guard lock(m_);
            entries_.emplace(when, std::make_pair(std::move(q), std::move(t)));
            if (!started_) {
                started_ = true;
                std::thread([this] { run(); }).detach();
            }
        }
        cv_.notify_all();
    }

private:
    void run() {
        std::unique_lock lock(m_);
        for (;;) {
            if (entries_.empty()) {
                cv_.wait(lock);
                continue;
            }
            auto first = entries_.begin();
            if (std::chrono::steady_clock::now() < first->first) {
                cv_.wait_until(lock, first->first);
                continue;
            }
            auto [q, t] = std::move(first->second);
            entries_.erase(first);
            lock.unlock();
            q->async(std::move(t));
            lock.lock();
        }
    }

    std::mutex m_;
    std::condition_variable cv_;
    std::multimap<std::chrono::steady_clock::time_point, std::pair<std::shared_ptr<Queue>, Task>> entries_;
    bool started_ = false;
};

Timer &timer() {
    static Timer *t = new Timer;
    return *t;
}

} // namespace

Group::Group() : state_(std::make_shared<State>()) {}
void Group::enter() {
    state_->enter();
}
void Group::leave() {
    state_->leave();
}

void Group::wait() {
    waitFor(std::chrono::nanoseconds::max());
}

bool Group::waitFor(std::chrono::nanoseconds timeout) {
    const bool forever = timeout == std::chrono::nanoseconds::max();
    const auto deadline =
        forever ? std::chrono::steady_clock::time_point::max() : std::chrono::steady_clock::now() + timeout;
    for (;;) {
        std::uint64_t generation;
        {
            std::lock_guard lock(state_->m);
            if (state_->count == 0) return true;
            generation = state_->generation;
        }
        if (pool().runOneOf(state_.get())) continue;
        BlockingScope scope;
        std::unique_lock lock(state_->m);
        auto ready = [&] { return state_->count == 0 || state_->generation != generation; };
        if (forever)
            state_->cv.wait(lock, ready);
        else if (!state_->cv.wait_until(lock, deadline, ready))
            return false;
    }
}

void Group::notify(const std::shared_ptr<Queue> &queue, Task task) {
    {
        std::lock_guard lock(state_->m);
        if (state_->count > 0) {
            state_->notifications.emplace_back(queue, std::move(task));
            return;
        }
    }
    queue->async(std::move(task));
}

Queue::~Queue() = default;

void Queue::async(const Group &group, Task task) {
    auto state = group.state();
    state->enter();
    async([state, task = std::move(task)] {
        runGuarded(task);
        state->leave();
    });
}

std::shared_ptr<Queue> globalQueue(Priority priority) {
    static auto *queues = new std::shared_ptr<Queue>[3] {
        std::make_shared<GlobalQueue>(Priority::High, "global.high"),
            std::make_shared<GlobalQueue>(Priority::Default, "global.default"),
            std::make_shared<GlobalQueue>(Priority::Background, "global.background"),
    };
    return queues[static_cast<int>(priority)];
}

std::shared_ptr<Queue> createSerialQueue(std::string label) {
    return std::make_shared<SerialQueue>(std::move(label));
}

std::shared_ptr<Queue> mainQueue() {
    return std::static_pointer_cast<Queue>(mainQueueImpl().shared_from_this());
}

void after(std::chrono::nanoseconds delay, std::shared_ptr<Queue> queue, Task task) {
    timer().schedule(std::chrono::steady_clock::now() + delay, std::move(queue), std::move(task));
}

void apply(std::size_t count, const std::function<void(std::size_t)> &body) {
    if (count == 0) return;
    if (count == 1) {
        body(0);
        return;
    }
    Group group;
    auto q = globalQueue(Priority::Default);
    for (std::size_t i = 0; i < count; ++i)
        q->async(group, [&body, i] { body(i); });
    group.wait();
}

unsigned poolWidth() {
    return pool().width();
}

void setPoolWidth(unsigned width) {
    pool().setWidth(width);
}

bool isMainThread() {
    return std::this_thread::get_id() == gMainThreadId;
}

void setMainQueueWakeup(std::function<void()> wakeup) {
    mainQueueImpl().setWakeup(std::move(wakeup));
}

std::size_t drainMainQueue() {
    return mainQueueImpl().drain();
}

bool runMainQueueUntil(const std::function<bool()> &done, std::chrono::nanoseconds timeout) {
    return mainQueueImpl().runUntil(done, timeout);
}

} // namespace orvanta::dispatch
