// A figure and a chart of a run, as every stage of the report passes them on.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct Figure {
    std::string key;      // stable, for JSON and for comparing runs
    std::string label;    // for people
    std::string unit;
    double value = 0.0;
    bool hasTruth = false;
    double truth = 0.0;   // the value the profile implies
};

// A chart of a run: the values of one column by row, the true value when the profile gives it,
// and a shaded stretch of rows (the animation's vsync mode).
struct Series {
    std::string name;     // the column's, unit after the '/'
    std::string unit;
    std::vector<double> values;
    bool hasTruth = false;
    double truth = 0.0;
    bool hasReference = false;
    double reference = 0.0;   // what the reference timeline gives (its period, or 0 for a lateness)
    size_t windowFrom = 0, windowTo = 0;   // row numbers (from 1) of a shaded stretch; 0: none
};

constexpr size_t kFrameBinsRest = 5;   // periods of 4 1/2 frames and more
