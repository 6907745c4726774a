// The layout of fe4ts's window records (record_layout.h).
#include "record_layout.h"


namespace movra {

namespace k = fe_kernel;

void append_labels(const RecordNames &names, const RecordEntry &e, const std::string &key,
                   std::vector<std::string> &out) {
    const std::string &v = names.value;
    switch (e.block) {
        case Block::Period:
            return append_fields(period_base(v, names.tactic[e.index]), 0, fields_of(e.block), out);
        case Block::Profile:
            return append_fields(profile_base(v, names.periodic[e.index], key), 0, fields_of(e.block), out);
        case Block::Lag:
            return append_fields(lag_base(v, names.lag[e.index]), 0, fields_of(e.block), out);
        case Block::Span:
            return append_span(v, out);
    }
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
