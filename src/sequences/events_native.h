// What the event functions' native layers share besides src/native/: the
// checks of the tables and labels a call names, the key columns the kernels
// code by value, reading pandas Timestamps as integer ticks, and building
// the object arrays of their results.
#pragma once

#include "../module/runtime.h"
#include "../native/columns.h"
#include "../native/decline.h"
#include "collector_pause.h"

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace movra::native {

// Runs `examine`, a read the pandas path would make too.  False when it
// declined or failed: a failure while looking is the pandas path's to report
// (it meets the same input); an interrupt or exit is the caller's and passes.
template <class F>
bool examined(F examine) {
    try {
        examine();
        return true;
    } catch (const Decline &) {
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
    } catch (const py::builtin_exception &) {  // a failed conversion, cast_error included
    }
    return false;
}

// The input's type exactly (a subclass may redefine any operation, so it
// takes the pandas path).
bool exact_type(py::handle o, py::handle type);

// Empty when `frame`, the argument `name`, is a plain pandas DataFrame.
Reason frame_reason(const char *name, py::handle frame, py::handle pandas);

// A column label as the kernels look it up: a str or an int.
bool is_label(py::handle o);

// A label a call names, and the argument it came as.
struct Named {
    const char *argument;
    py::handle label;
};

// Empty when the column labels of `frame` (the argument `name`) are unique
// and every one of `labels` is a str or int label, distinct from the
// others, naming a column of it.
Reason columns_reason(const char *name, py::handle frame, std::initializer_list<Named> labels);

// `listed` as a list that nothing else holds: itself when it is one, else
// a new list of its items.
py::list exclusive_list(py::object listed);

// The values of a frame's column as its rows give them, when every row is
// an object row: the column's values as Python objects, in row order, as a
// list of one value per row that nothing else holds.  Empty when `frame`
// (the argument `name`) has the column and it gives a value per row.
Reason row_values(const char *name, py::handle frame, py::handle label, py::list &values);

// Which columns of keys (consumers, kinds, units, groups) the kernels code
// by value, as the pandas path compares and groups them: pandas' own text
// dtypes, object columns of str, and the numpy dtypes `numbers` allows.
struct KeyRule {
    bool (*numbers)(const ColumnType &t);
    bool integer_objects = false;  // object columns of ints too
};

// Empty when `column`, labelled `label` (the reasons' "<role> 'label'"),
// holds keys `rule` takes; `numeric` tells whether they are numbers.
Reason key_column_reason(py::handle pandas, py::handle numpy, const char *role, py::handle label, py::handle column,
                         const KeyRule &rule, bool &numeric);

// Reads pandas Timestamps (and NaT) as nanoseconds since the epoch, UTC for
// aware ones.
class TimeReader {
public:
    explicit TimeReader(py::handle pandas);

    enum Kind { Time, Missing, Other };
    // `aware`: whether the time carries a time zone; `zone` and `unit`, if
    // asked for, get the zone object (None without) and the Timestamp's unit.
    // Other: neither a Timestamp nor NaT, or outside what nanoseconds hold.
    Kind read(PyObject *o, int64_t &ns, bool &aware, py::object *zone = nullptr, py::object *unit = nullptr) const;

private:
    bool read_value(PyObject *o, int64_t &ns) const;
    // After a failed read: an Exception is cleared (the value is Other),
    // anything else (an interrupt, an exit) raised.
    static void clear_failure();
    // Whether a unit is coarser than nanoseconds.  Timestamps give theirs
    // as one of a few str objects, time after time the same: the last
    // answer is kept.
    bool coarse(PyObject *unit) const;

    py::object timestamp_, nat_;
    py::handle value_, unit_;  // the attributes' interned names
    mutable py::object last_unit_;
    mutable bool last_coarse_ = false;
};

// A new one-dimensional object array of `n` cells (None each), made by
// `numpy`, whose cells are written in place while this holds a view of it.
class ObjectArray {
public:
    ObjectArray(py::handle numpy, int64_t n);
    void set(int64_t i, py::object item);

    py::object array;

private:
    int64_t size_;
    py::buffer_info view_;
    PyObject **cells_ = nullptr;
};

// A new one-dimensional object array holding items[at[0]], items[at[1]], ...
py::object object_array(py::handle numpy, const py::list &items, const int64_t *at, int64_t n);

}  // namespace movra::native

namespace movra {

// Each function's result through the native kernel, or a null object when
// the call is not one the kernel reproduces exactly (the function then
// takes its pandas path, which also raises whatever the input causes).
py::object uet2ute_native(Call &c);
py::object unit_date_native(Call &c);
py::object evaluate4group_native(Call &c);
py::object tsdf2seq_native(Call &c);

}  // namespace movra
