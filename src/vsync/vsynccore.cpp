#include "vsync/vsynccore.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

void vblankRingReset(VblankRing& ring)
{
    // The entries stay; they are invalid while count says so.
    ring.sum = 0;
    ring.count = 0;
    ring.next = 0;
    ring.lastVblank = 0;
}

void vblankRingRecord(VblankRing& ring, int64_t vblankTick)
{
    if (ring.lastVblank != 0) {
        const int64_t old = ring.count == kIntervalRingSize ? ring.intervals[ring.next] : 0;
        ring.sum -= old;
        ring.intervals[ring.next] = vblankTick - ring.lastVblank;
        ring.sum += ring.intervals[ring.next];
        ring.next = (ring.next + 1) % kIntervalRingSize;
        if (ring.count < kIntervalRingSize)
            ++ring.count;
    }
    ring.lastVblank = vblankTick;
}

int64_t vblankRingAverage(const VblankRing& ring)
{
    return ring.count != 0 ? ring.sum / ring.count : 0;
}

bool vblankRingTiming(const VblankRing& ring, int64_t* lastVblank, int64_t* averagePeriod)
{
    const int64_t average = vblankRingAverage(ring);
    if (lastVblank != nullptr)
        *lastVblank = ring.lastVblank;
    if (averagePeriod != nullptr)
        *averagePeriod = average;
    return ring.lastVblank != 0 && average > 0;
}

bool vblankTooSoon(int64_t waitStart, int64_t vblank, int64_t lastVblank, int64_t frame,
                   int64_t ticksPerSecond)
{
    const int64_t millisecond = ticksPerSecond / 1000;
    if (vblank - waitStart >= millisecond || lastVblank == 0)
        return false;
    return vblank - lastVblank < (frame / 2 > millisecond ? frame / 2 : millisecond);
}

void serverWaitsBound(ServerWaits& waits, int64_t modeFrame)
{
    waits = ServerWaits{};
    waits.modeFrame = modeFrame > 0 ? modeFrame : 0;
}

void serverWaitsParked(ServerWaits& waits)
{
    waits.lastVblank = 0;
}

int64_t serverFrame(const ServerWaits& waits)
{
    if (waits.modeFrame <= 0)
        return waits.lastInterval;
    if (waits.lastInterval <= 0)
        return waits.modeFrame;
    return waits.modeFrame < waits.lastInterval ? waits.modeFrame : waits.lastInterval;
}

WaitOutcome serverWaitReturned(ServerWaits& waits, bool succeeded, int64_t waitStart, int64_t vblank,
                               int64_t ticksPerSecond, int32_t* heldCount)
{
    *heldCount = 0;
    if (succeeded && vblankTooSoon(waitStart, vblank, waits.lastVblank, serverFrame(waits), ticksPerSecond)) {
        if (++waits.tooSoonInARow < kTooSoonWaitsFail) {
            waits.held[waits.tooSoonInARow - 1] = vblank;
            return WaitOutcome::Held;
        }
        succeeded = false;
    }
    if (!succeeded) {
        waits.tooSoonInARow = 0;
        return WaitOutcome::Failed;
    }
    *heldCount = waits.tooSoonInARow;
    waits.tooSoonInARow = 0;
    if (waits.lastVblank != 0)
        waits.lastInterval = vblank - waits.lastVblank;
    waits.lastVblank = vblank;
    if (waits.vblanksSinceBind < INT32_MAX)
        ++waits.vblanksSinceBind;
    return WaitOutcome::Vblank;
}

int32_t signedScanLine(bool inVerticalBlank, uint32_t scanLine)
{
    // 0 reads as 1 (0 means "no reading"); a line beyond the signed range keeps its
    // magnitude as the largest one there is rather than losing its high bit.
    const int32_t line = scanLine == 0            ? 1
                         : scanLine > 0x7FFFFFFFu ? 0x7FFFFFFF
                                                  : static_cast<int32_t>(scanLine);
    return inVerticalBlank ? -line : line;
}

int64_t loadAccount(LoadAccount& account, int64_t now, int64_t busyTicks)
{
    account.busy += busyTicks;
    if (account.calls < 10) {
        account.start = now;
        account.slept = 0;
        account.busy = 0;
        ++account.calls;
    }
    return now;
}

double loadMsPerSecond(const LoadAccount& account, int64_t now, int64_t frequency)
{
    const int64_t elapsed = now - account.start - account.slept;
    if (elapsed == 0 || frequency <= 0)
        return 0.0;
    const double toMs = 1000.0 / static_cast<double>(frequency);
    const double workMs = static_cast<double>(account.busy - account.slept) * toMs;
    const double elapsedSeconds = static_cast<double>(elapsed) * toMs / 1000.0;
    return workMs / elapsedSeconds;
}

void formatStatusLine(char* out, size_t size, const char* device, bool primary,
                      double periodMs, double loadMs, bool composition)
{
    const double rate = 1000.0 / periodMs;
    std::snprintf(out, size, "vsync.server: %s%s %.3fms %.3fHz (using %.3f ms/sec) DWM=%d",
                  device, primary ? " [PRIMARY]" : "", periodMs, rate, loadMs,
                  composition ? 1 : 0);
}

void retryQuietCycleBegins(RetryQuiet& retry)
{
    retry.cycleBytes = 0;
    retry.heldBytes = 0;
}

bool retryQuietLine(RetryQuiet& retry, const char* line, int32_t length)
{
    retry.cycleBytes += length;
    if (!retry.quiet)
        return true;
    if (length > 0 && length <= kHeldLinesSize - retry.heldBytes) {
        std::memcpy(retry.held + retry.heldBytes, line, static_cast<size_t>(length));
        retry.heldBytes += length;
    }
    return false;
}

bool retryQuietFailed(RetryQuiet& retry, int32_t logRoom)
{
    if (retry.quiet) {
        if (retry.quietCycles < INT32_MAX)
            ++retry.quietCycles;
        return false;
    }
    if (static_cast<int64_t>(logRoom) - retry.cycleBytes >= kServerLogReserve)
        return false;
    retry.quiet = true;
    retry.quietCycles = 0;
    return true;
}

bool quietSpellEnds(const RetryQuiet& retry, const ServerWaits& waits)
{
    return retry.quiet && waits.vblanksSinceBind >= kQuietEndsAfterVblanks;
}

bool retryQuietSucceeded(RetryQuiet& retry)
{
    const bool wasQuiet = retry.quiet;
    retry.quiet = false;
    retry.quietCycles = 0;
    return wasQuiet;
}
