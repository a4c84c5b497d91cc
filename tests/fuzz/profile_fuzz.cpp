// Profiles of the virtual display: any text is accepted or refused with a reason; an accepted
// profile writes a profile line that reads back to the same profile and sets up a model, whose
// draws and geometry answer; any text read as a profile line is accepted or refused too.
#include "fuzz/fuzz_input.h"
#include "support/profile_same.h"
#include "virtual/model.h"

#include <cstdlib>
#include <string>


extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    VirtualProfile profile;
    std::string why;
    if (!virtualProfileParse(text, &profile, &why)) {
        if (why.empty() || why.find("expected") == std::string::npos)
            std::abort();   // a refusal says what is expected
    } else {
        const int64_t frequency = 10000000;
        const std::string line = virtualProfileLine(profile, frequency, -123);
        VirtualProfile back;
        int64_t readFrequency = 0, vblank0 = 0;
        if (!virtualProfileReadLine(line, &back, &readFrequency, &vblank0, &why) || !profileDifference(profile, back).empty() ||
            readFrequency != frequency || vblank0 != -123)
            std::abort();
        VirtualModel model;
        if (virtualModelInit(&model, profile, frequency, 5000)) {
            for (int64_t k = 0; k < 8; ++k) {
                for (int output = 0; output < model.outputs; ++output) {
                    if (virtualInterruptDue(model, output, k) < timelineVblankStart(virtualOutputTimeline(model, output), k))
                        std::abort();
                    (void)virtualNextInterrupt(model, output, k, 5000 + k * 100000);
                }
                (void)virtualPublishedVblank(model, 5000 + k * 100000);
                (void)virtualFlushReturn(model, 5000 + k * 100000);
            }
            (void)virtualCompositorPeriod(model, 6000);
            (void)virtualOutputForRect(model, {-5, -5, 4000, 20}, true, 0);
        }
    }
    VirtualProfile fromLine;
    int64_t frequency = 0, vblank0 = 0;
    (void)virtualProfileReadLine(text, &fromLine, &frequency, &vblank0, &why);
    return 0;
}
