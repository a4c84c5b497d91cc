#include "virtual/sleepplan.h"

SleepPlan sleepPlanMake(int64_t frequency)
{
    SleepPlan plan;
    plan.frequency = frequency;
    plan.minimum = frequency / 5000;       // 0.2 ms
    plan.maximum = frequency / 500;        // 2 ms
    plan.margin = plan.maximum;
    return plan;
}

int64_t sleepPlanCounts(const SleepPlan& plan, int64_t remaining)
{
    const int64_t counts = remaining - plan.margin;
    if (plan.frequency <= 0 || counts < plan.frequency / 10000)
        return 0;
    return counts;
}

void sleepPlanRecord(SleepPlan* plan, int64_t late)
{
    // What the next spin must cover: this lateness and a tenth of a millisecond to spare.
    // A later sleep widens the margin at once; earlier ones narrow it a little at a time.
    int64_t wanted = (late > 0 ? late : 0) + plan->frequency / 10000;
    if (wanted < plan->minimum)
        wanted = plan->minimum;
    if (wanted > plan->maximum)
        wanted = plan->maximum;
    if (wanted >= plan->margin)
        plan->margin = wanted;
    else
        plan->margin -= (plan->margin - wanted + 31) / 32;
}
