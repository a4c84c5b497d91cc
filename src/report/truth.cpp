#include "report/truth.h"

#include <cmath>

double LogTruth::periodMs(int64_t vblank) const
{
    return static_cast<double>(startTick(vblank + 1) - startTick(vblank)) * 1000.0 /
           static_cast<double>(model.frequency);
}

int64_t LogTruth::startTick(int64_t vblank) const
{
    return timelineVblankStart(model.timeline, vblank);
}

double LogTruth::startMs(int64_t vblank) const
{
    return static_cast<double>(startTick(vblank)) * 1000.0 / static_cast<double>(model.frequency);
}

int64_t LogTruth::toTick(double ms) const
{
    return std::llround(ms * static_cast<double>(model.frequency) / 1000.0);
}

int64_t LogTruth::latestVblank(double ms, double slackMs) const
{
    return timelineLatestVblank(model.timeline, toTick(ms + slackMs));
}

double LogTruth::msAfterVblank(double ms) const
{
    return ms - startMs(latestVblank(ms));
}

double LogTruth::msOffGrid(double ms) const
{
    const int64_t k = latestVblank(ms);
    const double after = ms - startMs(k);
    const double before = startMs(k + 1) - ms;
    return after < before ? after : before;
}

int64_t LogTruth::deliveredVblank(int64_t tick) const
{
    int64_t k = timelineLatestVblank(model.timeline, tick);
    for (int step = 0; step < 64 && k > 0; ++step, --k) {
        if (!virtualInterruptStalled(model, 0, k) && virtualInterruptDue(model, 0, k) <= tick)
            return k;
    }
    return k;
}

double LogTruth::periodMsAt(int64_t tick, int output) const
{
    const Timeline& timeline = virtualOutputTimeline(model, output);
    const int64_t k = timelineLatestVblank(timeline, tick);
    return static_cast<double>(timelineVblankStart(timeline, k + 1) - timelineVblankStart(timeline, k)) * 1000.0 /
           static_cast<double>(model.frequency);
}

double LogTruth::usAfterVblank(int64_t tick, int output) const
{
    const Timeline& timeline = virtualOutputTimeline(model, output);
    return static_cast<double>(tick - timelineVblankStart(timeline, timelineLatestVblank(timeline, tick))) * 1e6 /
           static_cast<double>(model.frequency);
}

bool logTruthFromProfile(LogTruth* truth, const VirtualProfile& profile, int64_t frequency, int64_t vblank0)
{
    return virtualModelInit(&truth->model, profile, frequency, vblank0);
}

bool readLogTruth(const std::vector<std::string>& lines, LogTruth* truth, std::string* problem)
{
    const std::string prefix = "virtual.display profile ";
    for (const std::string& line : lines) {
        if (line.compare(0, prefix.size(), prefix) != 0)
            continue;
        VirtualProfile profile;
        int64_t frequency = 0, vblank0 = 0;
        if (!virtualProfileReadLine(line, &profile, &frequency, &vblank0, problem))
            return false;
        if (!logTruthFromProfile(truth, profile, frequency, vblank0)) {
            *problem = "the profile line's rates give no timeline: " + line;
            return false;
        }
        return true;
    }
    *problem = "the log has no 'virtual.display profile' line";
    return false;
}
