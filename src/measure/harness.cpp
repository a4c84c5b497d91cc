#include "measure/harness.h"

std::atomic<bool> g_appRunning{true};
