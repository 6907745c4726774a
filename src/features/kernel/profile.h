// Where a call's time goes, stage by stage: the kernel's own stages, and a
// record of one call that a benchmark can read back.
//
// The ordering's few stages are always timed (a handful of clock reads per
// kernel).  The windows' stages are timed only when Options::profile asks:
// each thread accumulates its own steady-clock laps, and the flag is read
// once per window, so a run without it pays one predictable test per stage.
#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace movra::fe_kernel {

// Seconds per stage; the windows' stages summed over the threads.
struct StageTimes {
    enum Stage : int {
        OrderingUnits,     // the units' codes, and whether the readings are in order
        OrderingPlan,      // the readings to order, their keys, the copies' layout
        OrderingMoves,     // the readings moved into order (deal or gather)
        OrderingBlocks,    // each unit's block
        OrderingPages,     // of the above, new pages made present for the copies
        Grouping,          // a window's readings grouped by period or profile key
        Aggregates,        // the per-period aggregates
        LagPairs,          // the lags' pairs and differences
        Correlations,      // the lags' correlations
        Masking,           // missing values set apart, counted; maxima and minima
        Sums,              // means, deviations, moments
        OrderStatistics,   // median and quartiles
        Records,           // the records' entries appended
        kCount
    };
    double seconds[kCount] = {};
    static const char *name(int stage);
    StageTimes &operator+=(const StageTimes &more);
};

// One thread's clock: each lap's time since the one before goes to a stage.
class StageClock {
public:
    using Clock = std::chrono::steady_clock;
    // Whether to time the laps that follow (checked once per window).
    void start(bool on) {
        on_ = on;
        if (on) last_ = Clock::now();
    }
    void lap(StageTimes::Stage s) {
        if (!on_) return;
        const Clock::time_point now = Clock::now();
        times_.seconds[s] += std::chrono::duration<double>(now - last_).count();
        last_ = now;
    }
    // Seconds timed apart, within the laps.
    void add(StageTimes::Stage s, double seconds) { times_.seconds[s] += seconds; }
    const StageTimes &times() const { return times_; }

private:
    bool on_ = false;
    Clock::time_point last_;
    StageTimes times_;
};

// The stages of one call, written as one line of JSON to `path` (appended),
// each stage's seconds under its name.  An empty path: nothing is timed or
// written.
class CallProfile {
public:
    explicit CallProfile(const char *path);
    bool on() const { return !path_.empty(); }
    // The wall time since the previous lap (or the start) goes to `stage`.
    void lap(const char *stage);
    // The kernel's stages, under their own names.
    void add(const StageTimes &kernel);
    // Appends the line; a file that cannot be written is passed over.
    void write() const;

private:
    std::string path_;
    std::chrono::steady_clock::time_point last_;
    std::vector<std::pair<std::string, double>> stages_;
};

}  // namespace movra::fe_kernel
