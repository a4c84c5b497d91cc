#include "measure/logschema.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr FieldKind I32 = FieldKind::Int32;
constexpr FieldKind I64 = FieldKind::Int64;
constexpr FieldKind Fix = FieldKind::Fixed;

const SchemaColumn kQuantum[] = {
    {"iteration", "iteration", "", I32, 0},
    {"quantum", "quantum", "ms", Fix, 3},
};
const SchemaColumn kSleep[] = {
    {"offset", "offset", "ms", I32, 0},
    {"sleep", "sleep", "ms", Fix, 3},
    {"slept", "slept", "ms", Fix, 3},
    {"error", "error", "ms", Fix, 3},
};
const SchemaColumn kMessageLoop[] = {
    {"iteration", "iteration", "", I32, 0},
    {"delay", "delay", "us", Fix, 1},
};
const SchemaColumn kWaitSpeed[] = {
    {"delay", "delay", "us", Fix, 3},
};
const SchemaColumn kScanLine[] = {
    {"iteration", "iteration", "", I32, 0},
    {"scanline", "scanline", "", I32, 0},
};
const SchemaColumn kDirectDraw[] = {
    {"iteration", "iteration", "", I32, 0},
    {"vsync", "vsync", "qpc", I64, 0},
    {"period", "period", "ms", Fix, 3},
    {"invblank", "invblank", "ms", Fix, 3},
    {"voff", "voff", "us", Fix, 1},
};
const SchemaColumn kD3dkmt[] = {
    {"iteration", "iteration", "", I32, 0},
    {"vsync", "vsync", "qpc", I64, 0},
    {"period", "period", "ms", Fix, 3},
    {"voff", "voff", "us", Fix, 1},
};
const SchemaColumn kDwmTiming[] = {
    {"iteration", "iteration", "", I32, 0},
    {"now", "now", "qpc", I64, 0},
    {"vblank", "vblank", "qpc", I64, 0},
    {"diff", "diff", "us", Fix, 0},
    {"period_qpc", "period", "qpc", I64, 0},
    {"period", "period", "ms", Fix, 3},
    {"delta", "delta", "ms", Fix, 3},
};
const SchemaColumn kDwmFlush[] = {
    {"iteration", "iteration", "", I32, 0},
    {"now", "now", "qpc", I64, 0},
    {"dwm", "dwm", "qpc", I64, 0},
    {"period", "period", "ms", Fix, 3},
    {"voff", "voff", "us", Fix, 1},
    {"vhvbl", "vhvbl", "qpc", I64, 0},
    {"vhvsc", "vhvsc", "qpc", I64, 0},
};
const SchemaColumn kMimic[] = {
    {"want", "want", "qpc", I64, 0},
    {"got", "got", "qpc", I64, 0},
    {"late", "late", "qpc", I64, 0},
    {"period", "period", "ms", Fix, 3},
    {"spin", "spin", "int", I32, 0},
    {"voff", "voff", "us", Fix, 1},
};
const SchemaColumn kWaitForBlanking[] = {
    {"server_now", "now", "qpc", I64, 0},
    {"server_period", "period", "ms", Fix, 3},
    {"dwm_now", "dwm", "qpc", I64, 0},
    {"dwm_period", "period", "ms", Fix, 3},
};
const SchemaColumn kEstimator[] = {
    {"iteration", "iteration", "", I32, 0},
    {"server_now", "D3Dnow", "ms", Fix, 4},
    {"server_delta", "delta", "ms", Fix, 3},
    {"server_vsync", "SCvsync", "ms", Fix, 4},
    {"server_interval", "interval", "ms", Fix, 6},
    {"dwm_now", "DWMnow", "ms", Fix, 4},
    {"dwm_vsync", "DWMvsync", "ms", Fix, 4},
    {"dwm_interval", "interval", "ms", Fix, 6},
    {"overhead", "overhead", "us", Fix, 3},
    {"scanline", "scanline", "", I32, 0},
};

// DXGI's vblank wait: the D3DKMT test's columns, and how long the wait blocked (engines count
// a wait under 1 ms as failed).
const SchemaColumn kDxgi[] = {
    {"iteration", "iteration", "", I32, 0},
    {"vsync", "vsync", "qpc", I64, 0},
    {"period", "period", "ms", Fix, 3},
    {"voff", "voff", "us", Fix, 1},
    {"wait", "wait", "ms", Fix, 3},
};
// The compositor clock's waits: each wait's return, then the completed frame's statistics
// read right after it, and the wait's result (0: the clock ticked).
const SchemaColumn kCompositorClock[] = {
    {"iteration", "iteration", "", I32, 0},
    {"vsync", "vsync", "qpc", I64, 0},
    {"period", "period", "ms", Fix, 3},
    {"wait", "wait", "ms", Fix, 3},
    {"frame", "frame", "", I64, 0},
    {"start", "start", "qpc", I64, 0},
    {"target", "target", "qpc", I64, 0},
    {"frame_period", "frameperiod", "qpc", I64, 0},
    {"result", "result", "", I32, 0},
};

template <size_t N>
constexpr int count(const SchemaColumn (&)[N])
{
    return static_cast<int>(N);
}

struct Entry {
    LogTest test;
    const char* key;
    const char* title;
    const SchemaColumn* columns;
    int columnCount;
};

constexpr Entry kEntries[] = {
    {LogTest::AdapterInfo, "adapters", "Display Adapter Information", nullptr, 0},
    {LogTest::QpcSpeed, "qpc_speed", "QPC Speed", nullptr, 0},
    {LogTest::TimeQuantum, "time_quantum", "Windows Time Quantum", kQuantum, count(kQuantum)},
    {LogTest::SleepAccuracy, "sleep_accuracy", "OS Sleep Accuracy, at various quantum offsets", kSleep, count(kSleep)},
    {LogTest::MessageLoop, "message_loop", "Windows Message Loop Processing Speed", kMessageLoop, count(kMessageLoop)},
    {LogTest::WaitSpeed, "wait_speed", "Windows WaitForXXXX Processing Speed", kWaitSpeed, count(kWaitSpeed)},
    {LogTest::ScanLine, "scanline", "ScanLine", kScanLine, count(kScanLine)},
    {LogTest::DirectDraw, "directdraw", "DirectDraw WaitForVerticalBlank", kDirectDraw, count(kDirectDraw)},
    {LogTest::D3dkmt, "d3dkmt", "D3DKMTWaitForVerticalBlankEvent", kD3dkmt, count(kD3dkmt)},
    {LogTest::WrongHz, "wrong_hz", "Demonstrate that Varnholt is using the wrong display Hz", nullptr, 0},
    {LogTest::DwmTiming, "dwm_timing", "DwmGetCompositionTimingInfo", kDwmTiming, count(kDwmTiming)},
    {LogTest::DwmFlush, "dwm_flush", "DwmFlush", kDwmFlush, count(kDwmFlush)},
    {LogTest::Mimic, "mimic", "Mimic animation (waiting for vsync intervals)", kMimic, count(kMimic)},
    {LogTest::WaitForBlanking, "wait_for_blanking", "testWaitForBlanking", kWaitForBlanking, count(kWaitForBlanking)},
    {LogTest::Estimator, "estimator", "testQuorvelLumetra", kEstimator, count(kEstimator)},
    {LogTest::Dxgi, "dxgi", "IDXGIOutput::WaitForVBlank", kDxgi, count(kDxgi)},
    {LogTest::CompositorClock, "compositor_clock", "DCompositionWaitForCompositorClock", kCompositorClock, count(kCompositorClock)},
    {LogTest::SuiteEnd, "suite_end", "*** To view test results, exit application ***", nullptr, 0},
};

// testSchema indexes the table by the test: entry t must be test t, one entry for each test.
constexpr bool entriesInTestOrder()
{
    for (int t = 0; t < kLogTestCount; ++t) {
        if (static_cast<int>(kEntries[t].test) != t)
            return false;
    }
    return true;
}
static_assert(sizeof kEntries / sizeof kEntries[0] == kLogTestCount, "one entry for each test");
static_assert(static_cast<int>(LogTest::SuiteEnd) + 1 == kLogTestCount, "kLogTestCount counts the tests");
static_assert(entriesInTestOrder(), "entry t of the table is test t");

// The header rows and row formats, built once from the columns into plain buffers (nothing
// to destroy at exit, when a test thread may still be printing).
constexpr size_t kTextSize = 256;
struct Built {
    char header[kLogTestCount][kTextSize];
    char rowFormat[kLogTestCount][kTextSize];
    TestSchema schemas[kLogTestCount];
};

void append(char* out, const char* text)
{
    const size_t used = std::strlen(out);
    std::snprintf(out + used, kTextSize - used, "%s", text);
}

void fill(Built& built)
{
    for (int t = 0; t < kLogTestCount; ++t) {
        const Entry& entry = kEntries[t];
        for (int c = 0; c < entry.columnCount; ++c) {
            const SchemaColumn& column = entry.columns[c];
            if (c > 0) {
                append(built.header[t], "\t");
                append(built.rowFormat[t], "\t");
            }
            append(built.header[t], column.name);
            if (column.unit[0] != '\0') {
                append(built.header[t], "/");
                append(built.header[t], column.unit);
            }
            char conversion[16];
            if (column.kind == FieldKind::Int32)
                std::snprintf(conversion, sizeof conversion, "%%d");
            else if (column.kind == FieldKind::Int64)
                std::snprintf(conversion, sizeof conversion, "%%I64d");
            else
                std::snprintf(conversion, sizeof conversion, "%%.%df", column.decimals);
            append(built.rowFormat[t], conversion);
        }
        const bool rows = entry.columnCount > 0;
        built.schemas[t] = {entry.test, entry.key, entry.title, entry.columns, entry.columnCount,
                            rows ? built.header[t] : nullptr, rows ? built.rowFormat[t] : nullptr};
    }
}

const Built& table()
{
    static Built built;    // zero-filled before any code runs
    static const bool filled = (fill(built), true);
    (void)filled;
    return built;
}

}   // namespace

const TestSchema& testSchema(LogTest test)
{
    return table().schemas[static_cast<int>(test)];
}

const TestSchema* findTestSchema(const char* title)
{
    for (const TestSchema& schema : table().schemas) {
        if (std::strcmp(schema.title, title) == 0)
            return &schema;
    }
    return nullptr;
}

int schemaColumn(const TestSchema& schema, const char* key)
{
    for (int c = 0; c < schema.columnCount; ++c) {
        if (std::strcmp(schema.columns[c].key, key) == 0)
            return c;
    }
    return -1;
}
