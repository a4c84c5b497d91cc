// A lock that guards a few instructions of shared bookkeeping. On Windows it is a
// critical section with a spin count; elsewhere a standard mutex. Locks are created
// once and kept for the life of the process.
#pragma once

struct CriticalLock;

CriticalLock* lockCreate(unsigned spinCount);
void lockEnter(CriticalLock* lock);
void lockLeave(CriticalLock* lock);
// For locks of a limited life (tests' own log stores); process locks are never destroyed.
void lockDestroy(CriticalLock* lock);
