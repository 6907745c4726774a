// Where each label of a window record goes in the feature table, as
// appending the records one by one to a frame places them: labels in
// first-seen order, a label repeated within a record naming as many
// columns, and the unit label, which every record carries at its end
// unless it holds an entry of that name.  Both of fe4ts's paths place their
// records by it: the pandas path's labels are Python objects, compared as a
// dict compares keys (PyLabelIndex, fe4ts.cpp); the kernel's are UTF-8 text
// (TextLabelIndex).
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace movra {

// A record that brought new columns: its number among the records placed,
// and the columns of its labels.
struct Introduction {
    int64_t record;
    std::vector<int> positions;
};

// An Index maps labels to ints: `int find(label) const` (-1 when absent),
// `void set(label, int)`, `Label stored(label)` (the label as the table
// keeps it), with `Label` the stored type.
template <class Index>
class ColumnPlacement {
public:
    using Label = typename Index::Label;

    explicit ColumnPlacement(Label unit) : unit_(std::move(unit)) {}

    // The columns of one record's labels, in their order; labels not seen
    // before become new columns, appended.  `record` numbers the record
    // for introductions().
    template <class Labels>
    std::vector<int> place(const Labels &labels, int64_t record) {
        const size_t before = names_.size();
        Index seen;  // occurrences of each label so far in this record
        std::vector<int> positions;
        positions.reserve(labels.size());
        for (const auto &label : labels) {
            const int occurrence = seen.find(label) + 1;  // -1 when new
            seen.set(label, occurrence);
            positions.push_back(slot(label, occurrence));
        }
        if (seen.find(unit_) < 0) slot(unit_, 0);
        if (names_.size() > before) introductions_.push_back({record, positions});
        return positions;
    }

    // The records that brought new columns, in the order placed.  Placing
    // just these records, in this order, in a fresh placement gives the same
    // columns: tables of different windows' records, each placed on its
    // own, merge by their introductions into the columns of one table of
    // all the records.
    const std::vector<Introduction> &introductions() const { return introductions_; }

    // Every column's label, in column order.
    const std::vector<Label> &names() const { return names_; }
    // The columns named by the unit label, in order (at least one once a
    // record is placed).
    const std::vector<int> &unit_columns() const { return slots_[static_cast<size_t>(index_.find(unit_))]; }

private:
    // The column of the given occurrence of a label.
    template <class L>
    int slot(const L &label, int occurrence) {
        int at = index_.find(label);
        if (at < 0) {
            at = static_cast<int>(slots_.size());
            index_.set(label, at);
            slots_.emplace_back();
        }
        std::vector<int> &columns = slots_[static_cast<size_t>(at)];
        if (static_cast<int>(columns.size()) <= occurrence) {
            columns.push_back(static_cast<int>(names_.size()));
            names_.push_back(Index::stored(label));
        }
        return columns[static_cast<size_t>(occurrence)];
    }

    Label unit_;
    Index index_;                          // label -> its entry in slots_
    std::vector<std::vector<int>> slots_;  // a label's columns, by occurrence
    std::vector<Label> names_;             // labels in column order
    std::vector<Introduction> introductions_;
};

// Merging tables of some records each: the records that brought new columns
// to each table are placed again, in global record order, in one placement.
// A record that brought no new column to its own table brought none to the
// whole, since its table's earlier records come earlier in the whole too;
// so the placement ends with the columns that placing every record gives.
template <class Label>
struct PlacedTable {
    std::vector<Label> labels;                // its columns' labels
    std::vector<Introduction> introductions;  // as introductions() gives them, `record` the global number
};

template <class Label>
struct MergedColumns {
    std::vector<Label> names;              // every column's label, in column order
    std::vector<std::vector<int>> columns;  // per table: the column of each of its own
    std::vector<int> unit_columns;         // the unit's columns
};

template <class Index>
MergedColumns<typename Index::Label> merge_placed(typename Index::Label unit,
                                                  const std::vector<PlacedTable<typename Index::Label>> &tables) {
    using Label = typename Index::Label;
    struct Introduced {
        int64_t record;
        size_t table, at;
    };
    std::vector<Introduced> order;
    for (size_t t = 0; t < tables.size(); t++)
        for (size_t i = 0; i < tables[t].introductions.size(); i++)
            order.push_back({tables[t].introductions[i].record, t, i});
    std::stable_sort(order.begin(), order.end(),
                     [](const Introduced &a, const Introduced &b) { return a.record < b.record; });

    ColumnPlacement<Index> placement(unit);
    MergedColumns<Label> out;
    for (const auto &table : tables) out.columns.emplace_back(table.labels.size(), -1);
    for (const Introduced &i : order) {
        const std::vector<int> &own = tables[i.table].introductions[i.at].positions;
        std::vector<Label> record;
        for (int c : own) record.push_back(tables[i.table].labels[static_cast<size_t>(c)]);
        const std::vector<int> at = placement.place(record, i.record);
        for (size_t j = 0; j < at.size(); j++) out.columns[i.table][static_cast<size_t>(own[j])] = at[j];
    }
    out.names = placement.names();
    // A table's column that no record's label placed is its unit column (a
    // table has columns only once it has records, so then there are some).
    if (!order.empty()) out.unit_columns = placement.unit_columns();
    for (auto &of_table : out.columns)
        for (int &c : of_table)
            if (c < 0 && !out.unit_columns.empty()) c = out.unit_columns[0];
    return out;
}

// Labels as UTF-8 text.
class TextLabelIndex {
public:
    using Label = std::string;
    int find(const std::string &label) const {
        auto it = map_.find(label);
        return it == map_.end() ? -1 : it->second;
    }
    void set(const std::string &label, int value) { map_[label] = value; }
    static std::string stored(const std::string &label) { return label; }

private:
    std::unordered_map<std::string, int> map_;
};

}  // namespace movra
