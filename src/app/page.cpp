#include "app/page.h"

#include <cstdio>

void formatPage(char* out, size_t size, const char* status, const char* testLine,
                uint32_t paints, int32_t mouseX, int32_t mouseY, double mouseMs)
{
    // The counter wraps in unsigned arithmetic and is shown as the signed value.
    const int shownPaints = static_cast<int>(static_cast<int32_t>(paints));
    std::snprintf(out, size, "%s\n\n%s\nnNumPaints=%d    MOUSE x=%d y=%d ms=%.3f", status,
                  testLine, shownPaints, static_cast<int>(mouseX), static_cast<int>(mouseY),
                  mouseMs);
}

int64_t pingDelayTicks(uint32_t handledLow, uint32_t postedLow)
{
    return static_cast<int64_t>(static_cast<uint64_t>(static_cast<uint32_t>(handledLow - postedLow)));
}
