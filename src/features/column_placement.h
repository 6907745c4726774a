// Where each label of a window record goes in the feature table, as
// appending the records one by one to a frame places them: labels in
// first-seen order, a label repeated within a record naming as many
// columns, and the unit label, which every record carries at its end
// unless it holds an entry of that name.  Both of fe4ts's paths place their
// records by it: the pandas path's labels are Python objects, compared as a
// dict compares keys (PyLabelIndex, fe4ts.cpp); the kernel's are UTF-8 text
// (TextLabelIndex).
#pragma once

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
