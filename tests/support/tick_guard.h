// Sets the counter frequency (and, when given, the tick base) that the tick conversions use
// for one test, and puts the previous ones back when the test ends, however it ends.
#pragma once

#include "core/clock.h"

#include <cstdint>

class ClockGuard {
public:
    explicit ClockGuard(int64_t frequency) : ClockGuard(frequency, tickBase) {}
    ClockGuard(int64_t frequency, int64_t base) : m_frequency(tickFrequency), m_base(tickBase)
    {
        tickFrequency = frequency;
        tickBase = base;
    }
    ~ClockGuard()
    {
        tickFrequency = m_frequency;
        tickBase = m_base;
    }
    ClockGuard(const ClockGuard&) = delete;
    ClockGuard& operator=(const ClockGuard&) = delete;

private:
    int64_t m_frequency;
    int64_t m_base;
};
