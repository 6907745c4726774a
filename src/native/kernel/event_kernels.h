// Kernels of the event-log functions (usest2uet, uet2ute, unit_date,
// tsdf2seq) and of evaluate4group: plain C++ over integer buffers.
//
// Each function's native layer turns the caller's columns into the arrays
// below: consumers, kinds, units and groups as integer codes whose order is
// pandas' order, times as integer ticks (nanoseconds, or the column's own
// resolution), and turns the results back into the Python objects the
// pandas path would have built.  Nothing here knows Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace movra::events {

// ---- usest2uet: event-time lists cut into windows -----------------------

// The event log, one entry per log row.  `consumer` and `kind` are codes
// (-1: the row belongs to no consumer / to no kind, as a missing kind is
// dropped by grouping).  Kind codes ascend in the order grouping yields the
// kinds.  Row r's times are times[cell[r] .. cell[r + 1]); `missing` marks a
// time that compares false with every bound (NaT).
struct EventLog {
    int64_t rows = 0;
    const int64_t *consumer = nullptr;
    const int64_t *kind = nullptr;
    const int64_t *cell = nullptr;  // rows + 1 offsets
    const int64_t *times = nullptr;
    const uint8_t *missing = nullptr;
};

// One observation window.  `never`: a bound that no time satisfies.
struct Window {
    int64_t consumer = -1;  // -1: a consumer absent from the log
    int64_t start = 0;
    int64_t end = 0;
    bool never = false;
};

// The rows produced, one per (window, kind of the window's consumer), in
// window order then ascending kind.  Row j holds the times kept[begin[j] ..
// begin[j + 1]) (indices into the log's times, in concatenation order);
// `joined_empty[j]` says the kind's lists were all empty, so nothing was
// compared at all.
struct Cut {
    std::vector<int64_t> window, kind, begin{0}, kept;
    std::vector<uint8_t> joined_empty;
    void clear();
    int64_t rows() const { return static_cast<int64_t>(window.size()); }
};

// The log grouped once by consumer and kind (rows keep log order within a
// group); each window then reads only its consumer's rows.
class WindowCutter {
public:
    explicit WindowCutter(const EventLog &log);

    // Appends window `position`'s rows to `out`.
    void cut(const Window &w, int64_t position, Cut &out) const;

private:
    const EventLog &log_;
    std::vector<int64_t> rows_;            // log rows ordered by consumer, kind, row
    std::vector<int64_t> consumer_begin_;  // into rows_, per consumer code (+1)
};

// ---- uet2ute: (unit, time, kind) occurrences regrouped -------------------

// Orders occurrences by (unit, time), keeping collection order among equal
// keys, and marks where each distinct (unit, time) begins.  `unit` holds
// ranks (ascending = pandas' order), `time` ticks.  `order` gets the
// occurrence indices, `group_begin` the start of every group in `order`
// plus a final end.
void regroup(const int64_t *unit, const int64_t *time, int64_t n, std::vector<int64_t> &order,
             std::vector<int64_t> &group_begin);

// ---- times read from their calendar fields --------------------------------

// A time without a zone from its calendar fields, as nanoseconds since the
// epoch on the proleptic Gregorian calendar (numpy's and pandas' count).
// False, leaving `ns` alone, for a day too near the edge of what int64
// nanoseconds hold for the sum to be safe; such a time is read otherwise.
bool civil_nanoseconds(int64_t year, int month, int day, int hour, int minute, int second, int microsecond,
                       int64_t &ns);

// ---- unit_date: thinned calendars ----------------------------------------

// Events in row order: unit codes (0, 1, ... in first-seen order) and
// shifted times in ticks, `day` ticks to a day.  A shifted time is kept for
// its unit when it is the unit's first, or differs from every kept one and
// lies more than `spacing` whole days (floor of the difference kept minus
// new, in days, in absolute value) from each of them.  Fills `kept[u]` with
// the rows kept for unit u, in order.  Times must lie within +-2**62 ticks.
void thin_calendar(const int64_t *unit, const int64_t *shifted, int64_t n, int64_t units, int64_t spacing,
                   int64_t day, std::vector<std::vector<int64_t>> &kept);

// ---- evaluate4group: positives caught in each group's top rows ---------

// Rows scored by `predict` (descending, missing values last), grouped by
// `group` codes (-1: in no group).  A group of s rows flags its first
// flagged(s) rows; its caught count is the sum of their labels (missing
// labels count nothing).  When rows tied with the last flagged one reach
// past the cut and carry different labels, which ones are flagged depends
// on the sort: the group is marked ambiguous and its count left at 0.
struct Scores {
    int64_t rows = 0;
    int64_t groups = 0;
    const int64_t *group = nullptr;
    const double *predict = nullptr;
    const double *label = nullptr;
};

struct GroupCatch {
    std::vector<double> caught;
    std::vector<uint8_t> ambiguous;
    std::vector<int64_t> size;
    std::vector<std::vector<int64_t>> rows;  // each group's rows in row order
};

// flagged_rows(size) gives how many rows of a group of that size are flagged.
template <class F>
void catch_by_group(const Scores &s, F flagged_rows, GroupCatch &out);

// The group's rows ranked and counted (used by catch_by_group).
void rank_group(const Scores &s, std::vector<int64_t> &rows, int64_t flagged, double &caught, bool &ambiguous);

template <class F>
void catch_by_group(const Scores &s, F flagged_rows, GroupCatch &out) {
    out.rows.assign(static_cast<size_t>(s.groups), {});
    for (int64_t r = 0; r < s.rows; r++)
        if (s.group[r] >= 0) out.rows[static_cast<size_t>(s.group[r])].push_back(r);
    out.caught.assign(static_cast<size_t>(s.groups), 0.0);
    out.ambiguous.assign(static_cast<size_t>(s.groups), 0);
    out.size.assign(static_cast<size_t>(s.groups), 0);
    std::vector<int64_t> ranked;
    for (int64_t g = 0; g < s.groups; g++) {
        const auto &rows = out.rows[static_cast<size_t>(g)];
        out.size[g] = static_cast<int64_t>(rows.size());
        ranked = rows;
        bool ambiguous = false;
        rank_group(s, ranked, flagged_rows(out.size[g]), out.caught[g], ambiguous);
        out.ambiguous[g] = ambiguous;
    }
}

// ---- tsdf2seq: one series cut by date and by length ----------------------

// Python slice bounds over the rows kept (absent bound: `has_*` false);
// negative bounds count from the end, as in Python.
struct PositionSlice {
    bool has_start = false, has_stop = false;
    int64_t start = 0, stop = 0;
};

// Bounds on the times, both inclusive: kept are t <= upto (if set) and
// t >= from (if set).  T is int64_t (ticks or integers) or double; times
// must hold no NaN.
template <class T>
struct TimeBounds {
    bool has_upto = false, has_from = false;
    T upto{}, from{};
};

// Fills `kept` with the rows whose values make up the sequence: rows put in
// ascending time order (equal times keep row order), those within the
// bounds kept, then the slice taken by position.
template <class T>
void cut_series(const T *times, int64_t n, const TimeBounds<T> &bounds, const PositionSlice &keep,
                std::vector<int64_t> &kept);

extern template void cut_series<int64_t>(const int64_t *, int64_t, const TimeBounds<int64_t> &,
                                         const PositionSlice &, std::vector<int64_t> &);
extern template void cut_series<double>(const double *, int64_t, const TimeBounds<double> &, const PositionSlice &,
                                        std::vector<int64_t> &);

}  // namespace movra::events
