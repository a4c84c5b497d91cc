// The text page that the main window paints, and the delay of a message-loop ping.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kPageTextSize = 1000;
constexpr size_t kTestLineSize = 200;

// "%s\n\n%s\nnNumPaints=%d    MOUSE x=%d y=%d ms=%.3f": status, an empty line, the test
// line, then the paint counter and the last mouse position and interval. Cut to fit.
void formatPage(char* out, size_t size, const char* status, const char* testLine,
                uint32_t paints, int32_t mouseX, int32_t mouseY, double mouseMs);

// Ticks from posting to handling, from the low 32 bits of both ticks: an unsigned
// difference, so a wrap of the low bits in between still gives the true small delay.
int64_t pingDelayTicks(uint32_t handledLow, uint32_t postedLow);
