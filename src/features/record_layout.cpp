// The layout of fe4ts's window records (record_layout.h).
#include "record_layout.h"

#include "feature_names.h"

#include <iterator>

namespace movra {

namespace k = fe_kernel;

static_assert(std::size(kSpanSuffixes) == fields_of(Block::Span), "a label for each end of the span");

void append_labels(const RecordNames &names, const RecordEntry &e, const std::string &key,
                   std::vector<std::string> &out) {
    const std::string &v = names.value;
    if (e.block == Block::Span) {
        for (const char *end : kSpanSuffixes) out.push_back(v + end);
        return;
    }
    const std::string prefix = e.block == Block::Period    ? v + "_" + names.tactic[e.index] + "_"
                               : e.block == Block::Profile ? v + "_" + names.periodic[e.index] + "_" + key + "_"
                                                           : v + kDiffInfix + names.lag[e.index] + "_";
    for (int f = 0; f < fields_of(e.block); f++) out.push_back(prefix + kFieldNames[f]);
}

std::vector<std::string> record_labels(const RecordNames &names,
                                       const std::vector<std::vector<std::string>> &profile_keys) {
    std::vector<int64_t> groups;
    std::vector<const std::string *> keys;  // by group
    for (const auto &of_column : profile_keys) {
        groups.push_back(static_cast<int64_t>(of_column.size()));
        for (const std::string &key : of_column) keys.push_back(&key);
    }
    RecordCounts counts = names.counts();
    if (groups.size() < counts.periodic) groups.resize(counts.periodic, 0);
    RecordOutline every;
    every.empty = false;
    every.profile_groups = groups.data();
    std::vector<std::string> out;
    const std::string none;
    walk_record(every, counts, [&](const RecordEntry &e) {
        append_labels(names, e, e.block == Block::Profile ? *keys[e.group] : none, out);
    });
    return out;
}

ResultRecords::ResultRecords(const k::Result &r, const k::Options &o)
    : r_(r), counts_{o.tactic.size(), o.periodic.size(), o.lags.size()} {
    // Every window's groups follow the groups of the windows before it,
    // an empty window's included.
    first_group_.reserve(static_cast<size_t>(r.windows));
    size_t g = 0;
    const size_t P = counts_.periodic;
    for (int64_t w = 0; w < r.windows; w++) {
        first_group_.push_back(g);
        for (size_t p = 0; p < P; p++) g += static_cast<size_t>(r.profile_groups[static_cast<size_t>(w) * P + p]);
    }
}

RecordOutline ResultRecords::outline(int64_t w) const {
    const size_t at = static_cast<size_t>(w);
    RecordOutline o;
    o.empty = r_.rows[at] == 0;
    o.period_kept = r_.period_kept.data() + at * counts_.tactic;
    o.profile_groups = r_.profile_groups.data() + at * counts_.periodic;
    o.first_group = first_group_[at];
    return o;
}

const double *ResultRecords::fields(int64_t w, const RecordEntry &e) const {
    const size_t at = static_cast<size_t>(w);
    switch (e.block) {
        case Block::Period:
            return &r_.period[(at * counts_.tactic + e.index) * k::kPeriodWidth];
        case Block::Profile:
            return &r_.profile_stats[e.group * k::kStats];
        case Block::Lag:
            return &r_.lag[(at * counts_.lags + e.index) * k::kLagWidth];
        case Block::Span:
            break;
    }
    return nullptr;
}

}  // namespace movra
