// The event detectors' shared parts: their tuning, what every detector reads, the helpers they
// share. Internal to the events room (events.cpp and sleep_events.cpp).
#pragma once

#include "report/findings_rooms.h"

#include <cstddef>
#include <utility>
#include <vector>

struct EventTuning {
    // A variable rate: the distances between neighbouring stamps lie, in the median, more than
    // an eighth of the reference's frame off every whole number of its frames (a fixed rate's lie
    // off only by the wake-ups' jitter). Judged on twenty distances at least; a distance over
    // three and a half frames is a stall, and only those under 1.7 frames give the frame lengths.
    double variableOffFrames = 0.125;
    size_t variablePoints = 20;
    double variableLongestFrames = 3.5;
    double variableLengthFrames = 1.7;
    // The compositor's timing, judged on twenty reads at least: reporting the upcoming vblank
    // when more than half the reads lie after the moment they were read; stale when its vblank
    // jumps two frames or more (it did not advance for a frame), up to 30 (a longer stop is a
    // sleeping display, below).
    size_t compositorRows = 20;
    double aheadShare = 0.5;
    double staleFromFrames = 2.0;
    double staleFrames = 30.0;
    // ... where the read that shows the jump, and the one before it, came within 200 us of the
    // compositor's usual publish delay (the 5th percentile of the run's): a poll held off by the
    // machine for a frame shows the same jump, read late, or read promptly after a late one.
    double stalePromptQuantile = 5.0;
    double staleReadLateUs = 200.0;
    // Vblank waits that report success far too soon to be vblanks (a sleeping display's or a
    // stale adapter's waits return at once): eight or more in a row, each under half a frame of
    // the fastest mode after the one before (1 ms where the log names no mode). Fewer come now
    // and then when a late interrupt lets the waits it overtook go at once.
    size_t tooSoonStretch = 8;
    double tooSoonFrames = 0.5;
    double tooSoonFloorMs = 1.0;
    // A sleeping display: the compositor's vblank stands still for 30 frames or more (half a
    // second at 60 Hz) while the waits fail; asleep to the end of a run after three failed waits
    // or more, each followed by half a second's rest.
    double sleepFrames = 30.0;
    size_t sleepFailures = 3;
    // A rate change within a second before the server moved to another output, or half a second
    // after, is the move's (it rests half a second after a failed wait before it binds the
    // other output), not the display's.
    double moveBeforeS = 1.0;
    double moveAfterS = 0.5;
    // Faster than a kilohertz is no display's rate: those are waits that returned at once.
    double fastestDisplayHz = 1000.0;
    // A display 2 % off its mode's rate from the first timed vblank changed before it.
    double changedBeforeShare = 0.02;
};
extern const EventTuning kEvents;

// What the detectors share.
struct EventInput {
    const Context& c;
    const std::vector<ReferenceTimeline>& references;
    std::vector<std::pair<size_t, double>> times;   // (line, seconds) of every timed row, sorted
    std::vector<Context> outputs;                   // each output's context: its own rough frame
    std::vector<bool> variable;                     // the outputs of variable refresh
    std::vector<size_t> failures;                   // the lines of the failed waits, in order
};

// The time of the latest row at or before a line of the log, in seconds; negative: none.
double lineTime(const std::vector<std::pair<size_t, double>>& times, size_t line);
// A reference's shortest frame, in ticks: no gap shorter than 30 of them is a sleep.
double shortestFrame(const ReferenceTimeline& reference);
// The moment of an output's last vblank timed before a line: the latest stamp of a run that
// waits for its vblanks; negative: none.
double lastVblankOf(const EventInput& in, int output, size_t line);
// Whether a wait failed between two lines of the log.
bool failedBetween(const EventInput& in, size_t from, size_t to);

// The sleeps of a display, from every run's rows (sleep_events.cpp).
void sleepEvents(EventInput& in, std::vector<FoundEvent>& events);
void gapSleepEvents(EventInput& in, std::vector<FoundEvent>& events);
void failureSleepEvents(EventInput& in, std::vector<FoundEvent>& events);
void quietWaitSleepEvents(EventInput& in, std::vector<FoundEvent>& events);
