// fe4ts's derived columns: ratios, spreads and totals of the feature
// columns (their names: feature_names.h), added to the feature table after
// the records' columns, in the order they are first set.
//
// The plan finds each one's operands as the frame would find them.  A
// column over two float64 record (or derived) columns is computed here on
// the values, with numpy's arithmetic on float64: IEEE division (x/0 is
// ±inf, 0/0 and NaN give NaN), subtraction and addition, signed zeros as
// they fall.  Other operands (object, int64, nullable columns) go through
// pandas, for those columns only.
#pragma once

#include "../module/runtime.h"
#include "fe4ts_args.h"
#include "feature_names.h"
#include "label_text.h"
#include "feature_table.h"

#include <cstdint>
#include <vector>

namespace movra {

// Where an operand or a derived column's value comes from.
struct Operand {
    enum Kind : uint8_t { Absent, Record, Derived } kind = Absent;
    int at = -1;  // Record: its feature column, -1 when not one float64 column; Derived: its entry
};

// A derived column: None (an operand absent), its values computed here
// (both operands float64 values), or pandas' result.
struct DerivedColumn {
    enum Kind : uint8_t { None, Values, Pandas } kind = None;
    py::object name, first, second;
    Operand a, b;
    DerivedOp op = DerivedOp::Ratio;
    int slot = -1;  // Values: its column among the computed ones
};

// The derived columns in the order first set, each with its operands found
// as the frame would find them: among the columns set so far, then among
// the record's columns.
class DerivedPlan {
public:
    DerivedPlan(const PlacedRecords &r, py::handle unit) {
        const bool any = !r.unit_at.empty();
        for (size_t j = 0; j < r.labels.size() && any; j++) {
            py::handle label = r.labels[j];
            const bool one_float = r.floats && !records_.contains(label) && (r.plain.empty() || r.plain[j]);
            records_[label] = py::int_(one_float ? static_cast<int>(j) : -1);
        }
        if (any) records_[unit] = py::int_(-1);
    }

    void operator()(const PyText &name, const PyText &first, const PyText &second, DerivedOp op) {
        DerivedColumn d;
        d.name = name.o;
        d.first = first.o;
        d.second = second.o;
        d.op = op;
        d.a = find(first.o);
        if (d.a.kind != Operand::Absent) d.b = find(second.o);
        if (d.a.kind != Operand::Absent && d.b.kind != Operand::Absent)
            d.kind = values(d.a) && values(d.b) ? DerivedColumn::Values : DerivedColumn::Pandas;
        if (d.kind == DerivedColumn::Values) d.slot = slots_++;
        else all_values_ = false;
        if (derived_.contains(d.name)) {
            columns[derived_[d.name].cast<size_t>()] = std::move(d);  // set again where it stands
        } else {
            if (records_.contains(d.name)) replaces_record = true;
            derived_[d.name] = py::int_(columns.size());
            columns.push_back(std::move(d));
        }
    }

    std::vector<DerivedColumn> columns;
    bool replaces_record = false;  // a derived column named like a record's column
    int slots() const { return slots_; }
    // Every column computed here, none set twice (its first values unused).
    bool all_values() const { return all_values_ && slots_ == static_cast<int>(columns.size()); }

private:
    Operand find(py::handle label) const {
        if (derived_.contains(label)) return {Operand::Derived, derived_[label].cast<int>()};
        if (records_.contains(label)) return {Operand::Record, records_[label].cast<int>()};
        return {};
    }
    bool values(const Operand &s) const {
        if (s.kind == Operand::Record) return s.at >= 0;
        return s.kind == Operand::Derived && columns[static_cast<size_t>(s.at)].kind == DerivedColumn::Values;
    }

    py::dict records_, derived_;
    int slots_ = 0;
    bool all_values_ = true;
};

// Every derived column of the call, in order: per period column, per
// distinct value of each periodic column in the whole readings (`held`, as
// the native call read them, or else looked up), per lag.
void plan_derived(Call &c, const Fe4tsArgs &a, const std::vector<py::object> &held, int threads, DerivedPlan &plan);

// The values of the columns computed here, into `out` (rows x slots, column
// by column); `records` are the record's float64 cells.
void compute_values(const DerivedPlan &plan, const double *records, double *out, py::ssize_t rows);

// The derived columns over the frame of the records, in order, each as the
// plan says, with `computed` the values compute_values gave.
py::object derived_over_frame(Call &c, const DerivedPlan &plan, py::object ftrs, py::object computed);

}  // namespace movra
