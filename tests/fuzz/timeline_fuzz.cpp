// The virtual display's timeline: any counter frequency, rate, origin and change of rate,
// asked about any counter value and vblank index. No undefined behaviour; an accepted
// timeline answers consistently (a vblank starts where its index says, the scan line is a
// line of the frame).
#include "fuzz/fuzz_input.h"
#include "virtual/timeline.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);
    const int64_t frequency = in.value<int64_t>();
    const int64_t origin = in.value<int64_t>();
    const RefreshRatio rate = {in.value<uint32_t>(), in.value<uint32_t>()};
    Timeline timeline;
    if (!timelineInit(&timeline, frequency, origin, rate))
        return 0;
    if (in.byte() & 1)
        timelineChangeRate(&timeline, in.value<int64_t>(), {in.value<uint32_t>(), in.value<uint32_t>()});
    (void)timelineRateHz(rate);
    (void)timelineIntegerRate(rate);
    while (!in.empty()) {
        const int64_t counter = in.value<int64_t>();
        bool inBlank = false;
        const int32_t line = timelineScanLine(timeline, counter, &inBlank);
        if (line < 0 || line >= kTimelineLines || inBlank != (line >= kTimelineVisibleLines))
            std::abort();
        const int64_t vblank = timelineLatestVblank(timeline, counter);
        (void)timelineFrameAt(timeline, counter);
        (void)timelinePeriodAt(timeline, counter);
        (void)timelineRateAt(timeline, counter);
        const int64_t start = timelineVblankStart(timeline, vblank);
        // Where the answers are exact (within 2^40 counts of the origin and away from the
        // ends of the 64-bit range, so that nothing saturates), the latest vblank started at
        // or before the counter and the next one after it.
        const bool near = (counter >= origin ? static_cast<uint64_t>(counter) - static_cast<uint64_t>(origin)
                                             : static_cast<uint64_t>(origin) - static_cast<uint64_t>(counter)) <
                          (uint64_t{1} << 40);
        const int64_t edge = int64_t{1} << 62;
        if (near && timeline.segmentCount == 1 && counter > -edge && counter < edge &&
            origin > -edge && origin < edge) {
            if (start > counter || timelineVblankStart(timeline, vblank + 1) <= counter)
                std::abort();
        }
        const int64_t k = in.value<int64_t>();
        (void)timelineVblankStart(timeline, k);
        (void)timelineVblankEnd(timeline, k);
        (void)timelineFrameStart(timeline, k);
        (void)timelineLineStart(timeline, k);
        (void)timelineLineAt(timeline, k);
        (void)timelineMulDivFloor(k, in.value<int64_t>() & INT64_MAX, (in.value<int64_t>() & INT64_MAX) | 1);
    }
    return 0;
}
