#include "report/pool.h"

#include "report/logreader.h"
#include "report/outputs.h"
#include "report/summary.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

namespace {

struct Slot {
    bool done = false;
    bool ok = false;
    std::string text;   // the line, or the problem
};

// Every log of the file, one line each: the second and later ones as "FILE#2", ...
void summarise(const std::string& path, Slot* slot)
{
    std::string raw, problem;
    if (!readLogFile(path, &raw, &problem)) {
        slot->text = problem;
        return;
    }
    const LogFileText file = logFileText(std::move(raw));
    std::string lines;
    for (size_t i = 0; i < file.logs.size(); ++i) {
        KelvaroLog log;
        if (!readKelvaroLog(file.log(i), &log, &problem)) {
            slot->text = file.logs.size() > 1 ? "log " + std::to_string(i + 1) + " of the file: " + problem : problem;
            return;
        }
        ReportSummary summary = summarizeLog(std::move(log));
        summary.fileNote = logFileNote(file, i);
        lines += reportJsonLine(summary, i == 0 ? path : path + "#" + std::to_string(i + 1));
    }
    slot->text = std::move(lines);
    slot->ok = true;
}

}   // namespace

PoolResult writeJsonLines(const std::vector<std::string>& paths, unsigned threads, std::ostream& out,
                          const std::function<void(const PoolFailure&)>& failed)
{
    if (threads == 0)
        threads = std::max(1u, std::thread::hardware_concurrency());
    threads = static_cast<unsigned>(std::min<size_t>(threads, std::max<size_t>(1, paths.size())));

    std::vector<Slot> slots(paths.size());
    std::atomic<size_t> next{0};
    std::mutex mutex;
    std::condition_variable ready;
    const auto work = [&] {
        for (size_t i = next++; i < paths.size(); i = next++) {
            Slot slot;
            summarise(paths[i], &slot);
            slot.done = true;
            {
                std::lock_guard<std::mutex> lock(mutex);
                slots[i] = std::move(slot);
            }
            ready.notify_one();
        }
    };
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t)
        pool.emplace_back(work);

    // This thread writes the lines in order as they are done, so that they leave memory.
    PoolResult result;
    for (size_t i = 0; i < slots.size(); ++i) {
        Slot slot;
        {
            std::unique_lock<std::mutex> lock(mutex);
            ready.wait(lock, [&] { return slots[i].done; });
            slot = std::move(slots[i]);
            slots[i].text.clear();
        }
        if (slot.ok) {
            out << slot.text;
            ++result.written;
        } else {
            result.failures.push_back({paths[i], slot.text});
            failed(result.failures.back());
        }
    }
    for (std::thread& t : pool)
        t.join();
    return result;
}
