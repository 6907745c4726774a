// The rule for fe4ts's feature labels: which blocks a window record holds,
// in which order, the labels of each block's entries, and the names and
// operands of the derived columns.  Every label is a plain concatenation:
//
//   period entry t        value + "_" + t                 + "_" + field
//   profile group key i   value + "_" + p + "_" + str(i)  + "_" + field
//   lag entry l           value + "_DIFF_" + str(l)       + "_" + field
//   span                  value + "_START", value + "_END"
//
// and a derived column is an entry's base (the first column above) plus a
// suffix.  The pieces are joined left to right, so that where a piece is
// not text the join fails as Python's + fails.
//
// The rule is written once, over a text type `Text` that joins with `+`
// (itself or a C string): the kernel's layer labels its records with
// std::string (record_layout.cpp), the pandas path and the derived columns
// with Python objects joined by Python's + (label_text.h).  Plain C++.
#pragma once

#include "fe_kernel.h"

#include <cstdint>
#include <iterator>

namespace movra {

// fe_kernel::Stat's statistics, then fe_kernel::Field's counts and ACOR.
inline const char *const kFieldNames[] = {"MAX",  "MIN", "MEDIAN", "Q3",    "Q1", "MEAN", "STD",
                                          "SKEW", "KURT", "NB_0",  "NB_NA", "NB", "ACOR"};
static_assert(std::size(kFieldNames) == fe_kernel::kLagWidth, "a name for every field of the widest entry");

inline const char *const kSpanSuffixes[] = {"_START", "_END"};

// The blocks of a record, in record order.
enum class Block : uint8_t { Period, Profile, Lag, Span };
inline constexpr Block kBlockOrder[] = {Block::Period, Block::Profile, Block::Lag, Block::Span};

// The number of fields of an entry of the block.
constexpr int fields_of(Block b) {
    return b == Block::Period    ? fe_kernel::kPeriodWidth
           : b == Block::Profile ? fe_kernel::kStats
           : b == Block::Lag     ? fe_kernel::kLagWidth
                                 : 2;  // the smallest and largest time
}
static_assert(std::size(kSpanSuffixes) == fields_of(Block::Span), "a label for each end of the span");

// An entry's base: what its labels and its derived columns' names start with.
template <class Text>
Text period_base(const Text &value, const Text &t) {
    return value + "_" + t;
}
template <class Text>
Text profile_base(const Text &value, const Text &p, const Text &key) {  // key: str() of the group's key
    return value + "_" + p + "_" + key;
}
template <class Text>
Text lag_base(const Text &value, const Text &lag) {  // lag: str() of the lag
    return value + "_DIFF_" + lag;
}

// The label of field f of the entry with this base.
template <class Text>
Text field_label(const Text &base, int f) {
    return base + "_" + kFieldNames[f];
}

// Appends the labels of fields first .. last-1 of the entry with this base.
template <class Text, class Out>
void append_fields(const Text &base, int first, int last, Out &out) {
    const Text prefix = base + "_";
    for (int f = first; f < last; f++) out.push_back(prefix + kFieldNames[f]);
}

// The span's labels.
template <class Text, class Out>
void append_span(const Text &value, Out &out) {
    for (const char *end : kSpanSuffixes) out.push_back(value + end);
}

// ---- derived columns ---------------------------------------------------------

enum class DerivedOp : uint8_t { Ratio, Spread, Total };

// Calls derive(name, first operand, second operand, op) for each derived
// column of an entry with this base, in order: minimum / maximum, Q3 - Q1,
// STD / MEAN.  Profile groups and lag entries have these three.
template <class Text, class Derive>
void derive_spreads(const Text &base, Derive &&derive) {
    namespace s = fe_kernel;
    derive(base + "_MIN/MAX", field_label(base, s::Stat::Min), field_label(base, s::Stat::Max), DerivedOp::Ratio);
    derive(base + "_Q3-Q1", field_label(base, s::Stat::Q3), field_label(base, s::Stat::Q1), DerivedOp::Spread);
    derive(base + "_CV", field_label(base, s::Stat::Std), field_label(base, s::Stat::Mean), DerivedOp::Ratio);
}

// A period entry's derived columns: the three spreads, then its counts'
// sum and shares (the last share reads the sum).
template <class Text, class Derive>
void derive_period(const Text &base, const Text &t, Derive &&derive) {
    namespace s = fe_kernel;
    derive_spreads(base, derive);
    const Text na0 = base + "_NB_NA0";
    const Text nb = field_label(base, s::Field::Nb);
    derive(na0, field_label(base, s::Field::NbNa), field_label(base, s::Field::Nb0), DerivedOp::Total);
    derive(base + "_NB_0/" + t + "_NB", field_label(base, s::Field::Nb0), nb, DerivedOp::Ratio);
    derive(base + "_NB_NA/" + t + "_NB", field_label(base, s::Field::NbNa), nb, DerivedOp::Ratio);
    derive(base + "_NB_NA0/" + t + "_NB", na0, nb, DerivedOp::Ratio);
}

}  // namespace movra
