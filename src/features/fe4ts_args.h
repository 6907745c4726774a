// fe4ts's arguments, read once from the call: both paths, the decline
// warning and the derived columns take them from here.
#pragma once

#include "../module/runtime.h"

namespace movra {

struct Fe4tsArgs {
    // The bound arguments in parameter order (fe4ts_parameters in fe4ts.cpp).
    explicit Fe4tsArgs(const Call &c)
        : df(c.arg(0)), unit(c.arg(1)), tactic(c.arg(2)), periodic(c.arg(3)), lag(c.arg(4)), value(c.arg(5)),
          interval(c.arg(6)), del_t_maximin(c.arg(7)), aggfunc(c.arg(8)) {}

    py::object df, unit, tactic, periodic, lag, value, interval, del_t_maximin, aggfunc;

    // df[name] and interval[name], each looked up once per call: a frame's
    // column lookup is a few microseconds of pandas, and the steps of a call
    // read the same few columns many times.
    py::object column(py::handle name) const { return cached(df, df_columns_, name); }
    py::object window_column(py::handle name) const { return cached(interval, window_columns_, name); }

    // Makes column(name) answer with `column` (a copy of df's column the
    // native steps read instead of it, or df's own again).
    void hold(py::handle name, py::object column) const { df_columns_[name] = std::move(column); }

    // The same call over other readings (a selection of df's rows), with a
    // column cache of its own: the copy must not answer with df's columns.
    Fe4tsArgs over(py::object readings) const {
        Fe4tsArgs other(*this);
        other.df = std::move(readings);
        other.df_columns_ = py::dict();
        return other;
    }

private:
    static py::object cached(const py::object &frame, py::dict &cache, py::handle name) {
        if (PyObject *hit = PyDict_GetItemWithError(cache.ptr(), name.ptr())) return py::reinterpret_borrow<py::object>(hit);
        if (PyErr_Occurred()) throw py::error_already_set();
        py::object column = frame[name];
        cache[name] = column;
        return column;
    }
    mutable py::dict df_columns_, window_columns_;
};

}  // namespace movra
