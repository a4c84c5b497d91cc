#include "dwm/dwmcore.h"

#include "core/clock.h"

void dwmPollBegin(DwmPoll& poll, int64_t remembered, int64_t start)
{
    poll.remembered = remembered;
    poll.start = start;
    poll.vblank = 0;
    poll.haveVblank = false;
    poll.lastGood = false;
}

bool dwmPollSample(DwmPoll& poll, bool succeeded, int64_t rawVblank, int64_t now)
{
    poll.lastGood = succeeded && rawVblank != 0;
    if (!poll.lastGood)
        return false;
    poll.vblank = toTick(rawVblank);
    poll.haveVblank = true;
    if (poll.vblank != poll.remembered)
        return false;
    return ticksToUs(now - poll.start) < kDwmPollLimitUs;
}

double dwmPollOffsetUs(const DwmPoll& poll, int64_t t)
{
    return poll.lastGood ? ticksToUs(t - poll.vblank) : 0.0;
}

int64_t dwmPollRemembered(const DwmPoll& poll)
{
    return poll.haveVblank ? poll.vblank : poll.remembered;
}
