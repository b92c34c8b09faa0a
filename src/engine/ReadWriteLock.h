#pragma once
// A readers-writer lock: any number of readers or one writer. Not recursive;
// a thread holding the read lock must not ask for the write lock.

#include <memory>
#include <pthread.h>

namespace orvanta {

class ReadWriteLock {
public:
    // Null (with the message logged) when the lock cannot be initialised.
    static std::unique_ptr<ReadWriteLock> create();
    ~ReadWriteLock();

    void lockForRead();
    void lockForWrite();
    void unlock();
    // Take the lock without waiting; true when it was taken (and is now held).
    bool canReadLock();
    bool canWriteLock();

    ReadWriteLock(const ReadWriteLock &) = delete;
    ReadWriteLock &operator=(const ReadWriteLock &) = delete;

private:
    ReadWriteLock() = default;
    pthread_rwlock_t theLock;
    bool initialised_ = false;
};

} // namespace orvanta
