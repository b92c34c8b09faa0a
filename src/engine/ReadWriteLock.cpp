#include "ReadWriteLock.h"

#include "platform/Log.h"

namespace orvanta {

std::unique_ptr<ReadWriteLock> ReadWriteLock::create() {
    std::unique_ptr<ReadWriteLock> lock(new ReadWriteLock);
    if (pthread_rwlock_init(&lock->theLock, nullptr) != 0) {
        logMessage("ERROR: could not initialise pthread_rwlock_init");
        return nullptr;
    }
    lock->initialised_ = true;
    return lock;
}

ReadWriteLock::~ReadWriteLock() {
    if (initialised_) pthread_rwlock_destroy(&theLock);
}

void ReadWriteLock::lockForRead() {
    pthread_rwlock_rdlock(&theLock);
}
void ReadWriteLock::lockForWrite() {
    pthread_rwlock_wrlock(&theLock);
}
void ReadWriteLock::unlock() {
    pthread_rwlock_unlock(&theLock);
}
bool ReadWriteLock::canReadLock() {
    return pthread_rwlock_tryrdlock(&theLock) == 0;
}
bool ReadWriteLock::canWriteLock() {
    return pthread_rwlock_trywrlock(&theLock) == 0;
}

} // namespace orvanta
