#include "core/lock.h"

#include <mutex>

struct CriticalLock {
    std::mutex mutex;
};

CriticalLock* lockCreate(unsigned /*spinCount*/) { return new CriticalLock; }
void lockEnter(CriticalLock* lock) { lock->mutex.lock(); }
void lockLeave(CriticalLock* lock) { lock->mutex.unlock(); }
void lockDestroy(CriticalLock* lock) { delete lock; }
