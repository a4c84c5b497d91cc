// Many logs into JSON Lines: one object per log, one a line, in the order the logs were given,
// so that engines that read JSON Lines (pandas, DuckDB, Spark) can pool the results of many
// runs and machines. The logs are read and summarised by a pool of threads.
#pragma once

#include <cstddef>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

struct PoolFailure {
    std::string path;
    std::string problem;
};

struct PoolResult {
    size_t written = 0;
    std::vector<PoolFailure> failures;   // in the order of the paths
};

// Writes each log's line to `out` as soon as every log before it is done; a log that cannot
// be read gives no line, and `failed` is told of it at once, in order. `threads` 0: as many as
// the processor has.
PoolResult writeJsonLines(const std::vector<std::string>& paths, unsigned threads, std::ostream& out,
                          const std::function<void(const PoolFailure&)>& failed);
