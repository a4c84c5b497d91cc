#include "core/lock.h"

#include <windows.h>

struct CriticalLock {
    CRITICAL_SECTION section;
};

CriticalLock* lockCreate(unsigned spinCount)
{
    CriticalLock* lock = new CriticalLock;
    InitializeCriticalSectionAndSpinCount(&lock->section, spinCount);
    return lock;
}

void lockEnter(CriticalLock* lock) { EnterCriticalSection(&lock->section); }
void lockLeave(CriticalLock* lock) { LeaveCriticalSection(&lock->section); }

void lockDestroy(CriticalLock* lock)
{
    DeleteCriticalSection(&lock->section);
    delete lock;
}
