// Unit tests of the window records' layout, without Python: the entries a
// walk visits over a kernel run's records, and the labels the label rule
// gives a record holding every entry.
#include "checks.h"
#include "record_layout.h"

#include <string>
#include <vector>

using namespace movra;
namespace k = movra::fe_kernel;
using movra_tests::check;

namespace {

// Three windows over two tactic entries, one periodic entry and one lag:
// window 0 keeps its first period entry and has two groups, window 1 is
// empty, window 2 keeps both period entries and has one group.
k::Result three_windows() {
    k::Result r;
    r.windows = 3;
    r.rows = {4, 0, 2};
    r.period_kept = {1, 0, 0, 0, 1, 1};
    r.period.assign(3 * 2 * k::kPeriodWidth, 0.0);
    r.profile_groups = {2, 0, 1};
    r.profile_keys.resize(3);
    r.profile_stats.assign(3 * k::kStats, 0.0);
    r.lag.assign(3 * k::kLagWidth, 0.0);
    r.span.resize(6);
    for (size_t g = 0; g < 3; g++) r.profile_stats[g * k::kStats] = 10.0 + static_cast<double>(g);
    r.period[(2 * 2 + 1) * k::kPeriodWidth] = 21.0;  // window 2, entry 1
    r.lag[2 * k::kLagWidth + k::Field::Acor] = 0.5;  // window 2
    return r;
}

void test_walk_over_a_run() {
    const k::Result r = three_windows();
    k::Options o;
    o.tactic = {0, 1};
    o.periodic = {2};
    o.lags.resize(1);
    const ResultRecords records(r, o);
    auto entries = [&](int64_t w) {
        std::vector<std::string> out;
        records.walk(w, [&](const RecordEntry &e) {
            const char *block[] = {"P", "G", "L", "S"};
            out.push_back(block[static_cast<int>(e.block)] + std::to_string(e.index) +
                          (e.block == Block::Profile ? "/" + std::to_string(e.group) : ""));
        });
        return out;
    };
    check(entries(0) == std::vector<std::string>({"P0", "G0/0", "G0/1", "L0", "S0"}), "window 0's entries");
    check(entries(1).empty(), "an empty window has no entries");
    check(entries(2) == std::vector<std::string>({"P0", "P1", "G0/2", "L0", "S0"}),
          "window 2's group follows the groups of the windows before it");

    // Each entry's fields are its own in the result.
    std::vector<double> firsts;
    records.walk(2, [&](const RecordEntry &e) {
        if (e.block == Block::Span) return;
        const double *f = records.fields(2, e);
        firsts.push_back(e.block == Block::Lag ? f[k::Field::Acor] : f[0]);
    });
    check(firsts == std::vector<double>({0.0, 21.0, 12.0, 0.5}), "fields of window 2's entries");
}

void test_labels_of_every_entry() {
    RecordNames names;
    names.value = "KWH";
    names.tactic = {"DAY", "WEEK"};
    names.periodic = {"WD", "M"};
    names.lag = {"1", "7.5"};
    // A record with every period and lag entry, and groups 0 and 6 of WD.
    const int64_t groups[] = {2, 0};
    const std::string keys[] = {"0", "6"};
    RecordOutline every;
    every.empty = false;
    every.profile_groups = groups;
    std::vector<std::string> labels;
    walk_record(every, names.counts(), [&](const RecordEntry &e) {
        append_labels(names, e, e.block == Block::Profile ? keys[e.group] : std::string(), labels);
    });
    const size_t want = 2 * k::kPeriodWidth + 2 * k::kStats + 2 * k::kLagWidth + 2;
    check(labels.size() == want, "one label per field of every entry: " + std::to_string(labels.size()));
    if (labels.size() != want) return;
    auto at = [&](size_t i, const char *label) { check(labels[i] == label, labels[i] + " at " + std::to_string(i)); };
    at(0, "KWH_DAY_MAX");
    at(k::Field::Nb0, "KWH_DAY_NB_0");
    at(k::kPeriodWidth - 1, "KWH_DAY_NB");
    at(k::kPeriodWidth, "KWH_WEEK_MAX");
    at(2 * k::kPeriodWidth + k::Stat::Q3, "KWH_WD_0_Q3");
    at(2 * k::kPeriodWidth + k::kStats + k::Stat::Kurt, "KWH_WD_6_KURT");
    const size_t lags = 2 * k::kPeriodWidth + 2 * k::kStats;
    at(lags + k::Stat::Min, "KWH_DIFF_1_MIN");
    at(lags + k::Field::Acor, "KWH_DIFF_1_ACOR");
    at(lags + k::kLagWidth + k::Field::NbNa, "KWH_DIFF_7.5_NB_NA");
    at(want - 2, "KWH_START");
    at(want - 1, "KWH_END");
}

}  // namespace

int main() {
    test_walk_over_a_run();
    test_labels_of_every_entry();
    return movra_tests::report("record_layout");
}
