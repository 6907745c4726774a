// The layout of fe4ts's window records.  A record holds entries, in this
// order: one per period entry (a tactic column) that has values, one per
// group of each profile entry (a periodic column's values), one per lag,
// then the span; an empty window's record holds none.  An entry's fields
// are its block's (feature_names.h names them), and its labels are the
// entry's prefix followed by each field's name.
//
// Every walk over a record goes through walk_record, block by block in
// feature_names.h's order: the kernel's layer labels, shapes, fills and
// types its records by it.  Plain C++, without Python.
#pragma once

#include "fe_kernel.h"
#include "feature_names.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace movra {

// One entry of a record.
struct RecordEntry {
    Block block;
    size_t index;  // its tactic, periodic or lag entry (the span: 0)
    size_t group;  // a profile group: its place among all groups (see RecordOutline)
};

// The call's entries: how many tactic, periodic and lag entries it has.
struct RecordCounts {
    size_t tactic = 0, periodic = 0, lags = 0;
};

// What one record holds, as far as its entries go.
struct RecordOutline {
    bool empty = true;                        // no readings: no entries
    const uint8_t *period_kept = nullptr;     // per tactic entry, 1 when it has values; null: every one
    const int64_t *profile_groups = nullptr;  // per periodic entry: its groups
    size_t first_group = 0;                   // the place of the record's first group
};

// Calls visit(const RecordEntry &) for each entry of the record, in order.
template <class Visit>
void walk_record(const RecordOutline &r, const RecordCounts &n, Visit &&visit) {
    if (r.empty) return;
    size_t g = r.first_group;
    for (Block b : kBlockOrder) switch (b) {
            case Block::Period:
                for (size_t t = 0; t < n.tactic; t++)
                    if (r.period_kept == nullptr || r.period_kept[t]) visit(RecordEntry{b, t, 0});
                break;
            case Block::Profile:
                for (size_t p = 0; p < n.periodic; p++)
                    for (int64_t j = 0; j < r.profile_groups[p]; j++) visit(RecordEntry{b, p, g++});
                break;
            case Block::Lag:
                for (size_t l = 0; l < n.lags; l++) visit(RecordEntry{b, l, 0});
                break;
            case Block::Span:
                visit(RecordEntry{b, 0, 0});
                break;
        }
}

// The names that labels are made of, as UTF-8: the value column, each
// tactic and periodic column, and str() of each lag.
struct RecordNames {
    std::string value;
    std::vector<std::string> tactic, periodic, lag;
    RecordCounts counts() const { return {tactic.size(), periodic.size(), lag.size()}; }
};

// Appends the labels of an entry to `out`; `key` is a profile group's key
// as text (str() of the group's key).
void append_labels(const RecordNames &names, const RecordEntry &e, const std::string &key,
                   std::vector<std::string> &out);

// The records of a kernel run, window by window.
class ResultRecords {
public:
    ResultRecords(const fe_kernel::Result &r, const fe_kernel::Options &o);

    int64_t windows() const { return r_.windows; }
    RecordOutline outline(int64_t w) const;
    template <class Visit>
    void walk(int64_t w, Visit &&visit) const {
        walk_record(outline(w), counts_, visit);
    }

    // An entry's fields in the result (the span's are in span(w)).
    const double *fields(int64_t w, const RecordEntry &e) const;
    const fe_kernel::Scalar *span(int64_t w) const { return &r_.span[static_cast<size_t>(2 * w)]; }
    const fe_kernel::Result &result() const { return r_; }

private:
    const fe_kernel::Result &r_;
    RecordCounts counts_;
    std::vector<size_t> first_group_;  // per window
};

}  // namespace movra
