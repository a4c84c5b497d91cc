// The findings as JSON, under the keys that results of many runs and machines are pooled by.
#pragma once

#include "report/summary.h"

#include <nlohmann/json.hpp>

// Adds "findings", "refresh", "methods", "reference" and "events" to the report's object.
void addFindingsJson(const Findings& findings, nlohmann::ordered_json* json);
