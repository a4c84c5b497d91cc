// The one description of what each test writes into the log: its title, and for a test with
// rows each column's key, name, unit and printed form. The tests print their header row and
// rows from it, kelvaro-report reads with it, and the tests of this project find columns by
// key. The header row and the row format are built from the columns, so a column renamed
// here is renamed everywhere at once.
#pragma once

#include <cstddef>

enum class FieldKind {
    Int32,    // "%d"
    Int64,    // "%I64d": counter ticks
    Fixed,    // "%.Nf", N decimals (0 prints a whole number)
};

struct SchemaColumn {
    const char* key;      // stable and unique within its test: how code finds the column
    const char* name;     // as the header row prints it, before the unit
    const char* unit;     // after a '/', or "" for none
    FieldKind kind;
    int decimals;         // Fixed only
};

// The tests, in the order the suite runs them.
enum class LogTest {
    AdapterInfo,
    QpcSpeed,
    TimeQuantum,
    SleepAccuracy,
    MessageLoop,
    WaitSpeed,
    ScanLine,
    DirectDraw,
    D3dkmt,
    WrongHz,
    DwmTiming,
    DwmFlush,
    Mimic,
    WaitForBlanking,
    Estimator,
    Dxgi,
    CompositorClock,
    SuiteEnd,
};
constexpr int kLogTestCount = 18;

struct TestSchema {
    LogTest test;
    const char* key;       // stable: the report's key for the test's runs
    const char* title;
    const SchemaColumn* columns;
    int columnCount;       // 0: the test writes no header and no rows
    const char* header;    // the header row with its tabs; null without columns
    const char* rowFormat; // the printf format of a row; null without columns
};

const TestSchema& testSchema(LogTest test);
// The test of a title, null for a title no test of this tool writes.
const TestSchema* findTestSchema(const char* title);
// The column of a key, -1 when the test has none of that key.
int schemaColumn(const TestSchema& schema, const char* key);
