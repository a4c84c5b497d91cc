// The timebase estimator fed any sequence of doubles (NaN, infinities, negative, huge and
// tiny values among them), through both estimators of the test: no undefined behaviour, and
// every output finite, or the documented 0.0 of a rejected sample.
#include "fuzz/fuzz_input.h"
#include "measure/estimator.h"

#include <cmath>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);
    TimebaseEstimator estimator;
    double previous = 0.0;
    while (!in.empty()) {
        // Either any bit pattern, or a step from the previous sample (a realistic stream
        // with its gaps and jitter).
        const uint8_t how = in.byte();
        double t;
        if (how < 128) {
            t = in.value<double>();
        } else {
            t = previous + static_cast<double>(in.value<int16_t>()) / 1000.0 + (how - 128) * 1.0;
        }
        previous = t;
        double period = -12345.0;
        const double base = estimator.update(t, &period);
        if (!std::isfinite(base))
            std::abort();
        if (period != -12345.0 && !std::isfinite(period))
            std::abort();
        if (!std::isfinite(estimator.period) || !std::isfinite(estimator.vsyncTime))
            std::abort();
        // The grid arithmetic the test uses beside it.
        const double phase = estimatorPhase(t, estimator.vsyncTime, estimator.period);
        if (std::isfinite(t) && estimator.period > 0.0 && std::isfinite(estimator.vsyncTime) &&
            !std::isfinite(phase) && std::fabs(t - estimator.vsyncTime) < 1e300)
            std::abort();
        (void)estimatorSourcesDisagree(t, previous, period);
    }
    return 0;
}
