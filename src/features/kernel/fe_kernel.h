// The native kernel of fe4ts: every window's feature record computed straight
// from the columns of one readings table.
//
// Plain C++ with no Python in it, so that it can be built and tested on its
// own.  The readings are ordered once by unit and time; a window is then a
// contiguous range of that order, found by binary search, and each block of
// features is a few passes over the range.
//
// Every statistic reproduces what pandas returns for the same Series (the
// pandas path is the oracle): numpy's pairwise summation for sums and means,
// the two-pass variance, numpy's linear quantiles and median, pandas' sample
// skewness and excess kurtosis with their small-count and zero-variance rules,
// and the Welford recurrence of DataFrame.corr.  Missing values are NaN.
#pragma once

#include "profile.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

namespace movra::fe_kernel {

// One value of a column that is either float64 or int64: the member that
// matches the column's type is the one that counts.
struct Scalar {
    double f = 0.0;
    int64_t i = 0;
};

// A column of the readings table, float64 (NaN = missing) or integers.
struct Column {
    const double *f64 = nullptr;
    const int64_t *i64 = nullptr;
    // Integer keys narrower than 8 bytes, read as they are held: a caller's
    // int8/16/32 or uint8/16/32 key column where it lies (base 0), or a copy
    // the ordering made narrowed, each key `base` plus the offset held.
    // Narrow keys are read at their own width: widening them first would
    // write eight bytes a reading only to read them once.
    const uint8_t *u8 = nullptr;
    const uint16_t *u16 = nullptr;
    const uint32_t *u32 = nullptr;
    const int8_t *i8 = nullptr;
    const int16_t *i16 = nullptr;
    const int32_t *i32 = nullptr;
    int64_t base = 0;
    // A key column of category codes 0 .. categories - 1 (missing: NaN),
    // grouped as pandas 2 groups a categorical: every category is a group of
    // every window, also one without readings there.  0: the column's
    // distinct values are the groups.
    int64_t categories = 0;

    // Where an integer column's values lie: bytes per value, and whether
    // they are signed.  `data` is null for a float column.
    struct Integers {
        const void *data = nullptr;
        int width = 8;
        bool is_signed = true;
    };
    Integers integers() const {
        if (i64) return {i64, 8, true};
        if (i32) return {i32, 4, true};
        if (i16) return {i16, 2, true};
        if (i8) return {i8, 1, true};
        if (u32) return {u32, 4, false};
        if (u16) return {u16, 2, false};
        if (u8) return {u8, 1, false};
        return {};
    }
    bool integer() const { return integers().data != nullptr; }
    // Points the column at narrow integers (width 1, 2 or 4 bytes), none else.
    void point_at(const void *data, int width, bool is_signed, int64_t from_base) {
        i64 = nullptr;
        u8 = nullptr, u16 = nullptr, u32 = nullptr;
        i8 = nullptr, i16 = nullptr, i32 = nullptr;
        base = from_base;
        if (is_signed) {
            if (width == 1) i8 = static_cast<const int8_t *>(data);
            if (width == 2) i16 = static_cast<const int16_t *>(data);
            if (width == 4) i32 = static_cast<const int32_t *>(data);
        } else {
            if (width == 1) u8 = static_cast<const uint8_t *>(data);
            if (width == 2) u16 = static_cast<const uint16_t *>(data);
            if (width == 4) u32 = static_cast<const uint32_t *>(data);
        }
    }
};

struct Table {
    int64_t rows = 0;
    const int64_t *unit = nullptr;  // the unit key of every reading
    // The time axis, tactic[0]: int64, float64, or signed integers of 1, 2
    // or 4 bytes (day numbers from a date accessor), read at their own
    // width and widened where the ordering copies them.
    Column time;
    const double *value = nullptr;  // the readings, NaN = missing
    std::vector<Column> keys;       // period and profile key columns
    // The units whose readings the windows read (repeats allowed); when set,
    // only their readings are ordered and a window of any other unit finds
    // none.  Unset: every unit.
    std::optional<std::vector<int64_t>> wanted_units;
    // Where the chunks of an Arrow value column begin (reading positions,
    // ascending, 0 left out).  They count only in a window that is all the
    // readings in reading order (Range::copied), so they are given only for
    // readings that the kernel keeps in their order; empty: one chunk.
    std::vector<int64_t> chunks;
};

// One observation window.  Bounds are on the time axis, in its type; the
// caller works out END - FORWARD_T and START + BACKWARD_T.
struct Window {
    int64_t unit = 0;
    bool matches_nothing = false;  // e.g. a unit value that equals no reading
    bool has_start = false, has_end = false;
    bool has_forward_t = false, has_backward_t = false;
    bool has_forward_r = false, has_backward_r = false;
    Scalar start;           // time >= start
    Scalar end;             // time <= end
    Scalar forward_t_from;  // time >= END - FORWARD_T
    Scalar backward_t_from; // time >= START + BACKWARD_T
    int64_t forward_r = 0;  // keep rows [-forward_r:]
    int64_t backward_r = 0; // keep rows [:backward_r]
};

// The per-period aggregation, as numpy's function of that name returns it for
// a Series (numpy.sum, .mean, .max and .min hand over to the Series method).
enum class Aggregate {
    NanSum,  // numpy.nansum, numpy.sum: missing values skipped, an all-missing period sums to 0
    Mean,    // numpy.mean: missing values skipped, an all-missing period is missing
    Max,     // numpy.max: likewise
    Min,     // numpy.min: likewise
};

// How pandas computes sample skewness and excess kurtosis.
enum class Moments {
    // pandas before 3.1: two-pass central moments; a second moment (skew) or
    // numerator/denominator (kurt) below 1e-14 counts as 0 and gives 0.
    ZeroedTwoPass,
    // pandas 3.1 and later: corrected two-pass moments; a constant series has
    // no skewness or kurtosis (NaN).
    CorrectedTwoPass,
};

// The arithmetic pandas uses on the readings' own type.  The kernel always
// holds the readings as float64; float32 readings are float32 numbers widened,
// and for them pandas keeps some steps in float32 and rounds every statistic
// to float32, differently with each pair of pandas and numpy.
enum class Precision {
    Float64,
    // float32 readings, pandas 3.1 and later on numpy 2: sums, means and
    // medians in float32 accumulators, quantiles interpolate a float32
    // difference, the variance (float64 deviations) and the moments (of the
    // values widened) in float64.
    Float32,
    // float32 readings, pandas 2.2 on numpy 1.x: as above, but the deviations
    // of the variance and the moments are taken in float32, and every numpy
    // sum runs in blocks of 8192 values.
    Float32Legacy,
};

struct Options {
    std::vector<int> tactic;    // key column per tactic entry (entry 0 is the time axis)
    std::vector<int> periodic;  // key column per periodic entry
    std::vector<Scalar> lags;   // per lag entry, in the time axis' type
    bool del_t_maximin = false;
    Aggregate aggregate = Aggregate::NanSum;
    Moments moments = Moments::CorrectedTwoPass;
    Precision precision = Precision::Float64;
    // The readings are a nullable column: the profile and lag statistics'
    // MEAN and STD sum as numpy's where= reductions do (the period block's
    // aggregates are plain float64).
    bool where_sums = false;
    // The readings are an Arrow-backed column: the profile and lag
    // statistics are pyarrow's (the period block's aggregates are plain
    // float64).
    bool arrow_stats = false;
    // ... and the period aggregates of numpy.sum and numpy.mean, which hand
    // the Series to its own method, are pyarrow's sums too.
    bool arrow_sums = false;
    // ... of integers of at most 4 bytes, whose variance (STD) pyarrow takes
    // in integer arithmetic.
    bool arrow_narrow_integers = false;
    // Time the windows' stages (Kernel::stage_times).
    bool profile = false;
};

// A statistic that pyarrow computes as NaN rather than returns as null:
// a quiet NaN of its own payload, so that the records tell it from pd.NA.
double arrow_nan();
bool is_arrow_nan(double x);

// The fields of a record's entries, by their place in the entry.  Every
// entry begins with the statistics of a Series, in this order; a period
// entry goes on with its counts, a lag entry with its counts and its
// autocorrelation.  Their labels' suffixes are in feature_names.h.
struct Stat {
    enum : int { Max, Min, Median, Q3, Q1, Mean, Std, Skew, Kurt };
};
constexpr int kStats = Stat::Kurt + 1;
struct Field {
    enum : int { Nb0 = kStats, NbNa, Nb, Acor };  // zeros, missing values, size; ACOR: lag entries only
};
constexpr int kPeriodWidth = Field::Nb + 1;
constexpr int kLagWidth = Field::Acor + 1;

// The records of a run of windows, appended window after window.
struct Result {
    int64_t windows = 0;
    std::vector<int64_t> rows;            // readings in the window (0: empty record)
    std::vector<uint8_t> period_kept;     // window x tactic entry: 1 when it has entries
    std::vector<double> period;           // window x tactic entry x kPeriodWidth
    std::vector<int64_t> profile_groups;  // window x periodic entry: number of keys
    std::vector<Scalar> profile_keys;     // one per group, ascending within an entry
    std::vector<double> profile_stats;    // one kStats block per group
    std::vector<uint8_t> profile_missing; // one per group: 1 when a reading of it is missing
    std::vector<int64_t> profile_rows;    // one per group: its readings (0: an unobserved category)
    std::vector<double> lag;              // window x lag entry x kLagWidth
    std::vector<Scalar> span;             // window x 2: smallest and largest time
    void clear();
    void append(const Result &more);      // more's records after these
    // Room for `windows` records in all, each of about the size of these
    // so far, so that appending run after run copies nothing.
    void reserve_like_these(int64_t windows);
};

// Where a window lies in the ordered readings.
struct Range {
    int64_t begin = 0, end = 0;
    // A positional cut (FORWARD_R / BACKWARD_R) falls inside a run of equal
    // times, so which readings it keeps depends on how ties are ordered.
    bool ambiguous = false;
    // The window is a slice of all the table's readings in reading order
    // (no time bound dropped one): pandas copies such a window out of the
    // table rather than taking its rows, and an Arrow column keeps its
    // chunks (Table::chunks).
    bool copied = false;
};

struct Work;  // per-thread scratch space
class Interruption;  // how the ordering stops when asked to
class UnitCodes;     // the ordering's codes of the units

// Memory for a large column: freed with std::free, or unmapped when it was
// mapped (`mapped` bytes).
struct FreeBuffer {
    size_t mapped = 0;
    void operator()(void *p) const;
};
template <class T>
using Buffer = std::unique_ptr<T[], FreeBuffer>;

// A table's columns copied into reading order (left uninitialised until
// copied).
struct CopiedColumns {
    Buffer<double> value, time_f;
    Buffer<int64_t> time_i;
    std::vector<Buffer<double>> keys_f;
    std::vector<Buffer<int64_t>> keys_i;
    std::vector<Buffer<uint8_t>> keys_narrow;  // integer keys narrowed to 1, 2 or 4 bytes
};


class Kernel {
public:
    enum class Status { Ok, Ambiguous, BadOptions };

    // Orders the readings by unit and time (stable; missing times last in
    // each unit).  The table's buffers must outlive the kernel.  Ordering a
    // large unordered table takes a while: `interrupted` is asked now and
    // then whether to give up, always on the constructing thread, after which
    // the kernel is unusable (interrupted()).  It is asked while other
    // threads read the table, so it must not change the table, nor run
    // anything that might.  Up to `threads` threads order the readings and
    // run the windows (results do not depend on the number); they live only
    // within the constructor and each run().
    //
    // Reordered readings are copies of the kernel's own: once constructed,
    // it reads nothing of the table again.  Readings in order are read where
    // they lie, by the constructor and by every run(): a records table is of
    // one version of the table only if nothing changes it until the last
    // run() returns.
    explicit Kernel(const Table &table, std::function<bool()> interrupted = nullptr, int threads = 1);
    bool interrupted() const { return interrupted_; }
    ~Kernel();
    Kernel(const Kernel &) = delete;
    Kernel &operator=(const Kernel &) = delete;

    Range locate(const Window &w) const;
    // Whether two readings of the range share a time.  The readings are in
    // reading order within a time; the pandas path's sort is not stable, so
    // it may see them in another order, which float32 sums can tell apart.
    bool repeats_time(const Range &r) const;

    // Appends the records of windows[0 .. count) to `out`, in that order.
    // Stops at the first ambiguous window (Status::Ambiguous, `out` then holds
    // the records before it) and checks the options first
    // (Status::BadOptions, nothing appended; also after an interrupted
    // ordering).  The windows are shared out among the kernel's threads,
    // which are joined before it returns, also when it throws (`out` may
    // then hold the records of some of the windows).
    [[nodiscard]] Status run(const Window *windows, int64_t count, const Options &options, Result &out,
                             int64_t *failed_at = nullptr);

    // Whether the readings had to be reordered (false: already in order,
    // and read in the table's own buffers).
    bool reordered() const { return reordered_; }
    // The ordering's stages, and the windows' stages of every run so far
    // that asked for them (Options::profile), summed over the threads.
    StageTimes stage_times() const;
    int threads() const { return threads_; }

private:
    struct Block {
        int64_t begin, end;  // the unit's readings
        int64_t timed_end;   // end of those with a time (missing times follow)
    };

    void order_readings();
    bool blocks_in_place(UnitCodes &units);
    void reorder(UnitCodes &units, const Interruption &stop);
    StageClock ordering_clock_;
    void give_back_copies() noexcept;
    void widen_times();
    void find_missing_times();
    void compute(const Range &r, const Options &o, Work &w, Result &out);

    // Whether to stop ordering, asked every kCheckRows readings.
    bool stop_requested();

    Table table_;  // columns in reading order (owned copies when reordered)
    bool reordered_ = false;
    std::function<bool()> should_stop_;
    bool interrupted_ = false;
    CopiedColumns copies_;
    std::unordered_map<int64_t, Block> blocks_;
    int threads_ = 1;
    std::vector<std::unique_ptr<Work>> work_;  // per thread: scratch space reused from window to window
};

// ---- statistics, exposed for the tests ---------------------------------

// numpy's pairwise summation (add.reduce over a contiguous float64 array).
double pairwise_sum(const double *a, int64_t n);
// add.reduce over a contiguous float32 array: float32 accumulators, and with
// `blocked` in blocks of 8192 values, as numpy 1.x buffers the reduction.
float float32_sum(const float *a, int64_t n, bool blocked);

// The nine statistics of a Series holding v[0 .. n) (NaN = missing), as
// pandas computes them, into out[0 .. kStats).
void series_stats(const double *v, int64_t n, Moments moments, double *out,
                  Precision precision = Precision::Float64);

// The same as pyarrow.compute has them for an Arrow-backed Series (nulls
// as NaN, arrow_nan() for a computed NaN), held in chunks that begin at the
// positions `chunks` (ascending, 0 left out); `narrow_integers`: the values
// are integers of at most 4 bytes (Options::arrow_narrow_integers).
void arrow_series_stats(const double *v, int64_t n, double *out, const std::vector<int64_t> &chunks = {},
                        bool narrow_integers = false);
// Whether this build has the 128-bit integers that the variance of narrow
// integers takes (Options::arrow_narrow_integers).
bool exact_integer_variance();

// DataFrame.corr's Pearson coefficient of the pairs with both values finite.
double pairwise_corr(const double *x, const double *y, int64_t n);

// The processors this process may run on (its affinity mask), at least 1.
int available_cpus();

// The readings whose unit is one of `units`: their positions, ascending,
// when there are at most `most` of them; otherwise nothing.  One look at
// the unit column, by up to `threads` threads side by side, given up as
// soon as more are found, or before it begins where an even sample of the
// table finds clearly more than twice the share that `most` allows.
std::optional<std::vector<int64_t>> readings_of_units(const int64_t *unit, int64_t n,
                                                      const std::vector<int64_t> &units, int64_t most,
                                                      int threads);

// The position of the first occurrence of each distinct value of v[0 .. n),
// ascending: the values pandas' unique gives, in its order (every NaN one
// value, 0.0 equal to -0.0).  Up to `threads` threads look side by side.
// Defined for every integer width, float and double.
template <class T>
std::vector<int64_t> first_occurrences(const T *v, int64_t n, int threads);

}  // namespace movra::fe_kernel
