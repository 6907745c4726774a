// Table arguments: pandas frames pass, Arrow streams become the frame
// pandas.DataFrame.from_arrow makes of them (arrow_tables.h has the rule).
#include "arrow_tables.h"

#include "../native/interrupts.h"

#include <string>

namespace movra {

namespace {

// The Arrow PyCapsule protocol is a method of the type, as other special
// methods are; looking there keeps a DataFrame's column lookup out of it.
bool exports_arrow_stream(py::handle obj) {
    return static_cast<bool>(optional_attr(reinterpret_cast<PyObject *>(Py_TYPE(obj.ptr())), "__arrow_c_stream__"));
}

// pyarrow, which every conversion goes through; it is an optional extra.
py::object pyarrow_for(const Call &c, py::handle obj) {
    try {
        return import_module(c, "pyarrow");
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ImportError)) throw;
        py::handle type = reinterpret_cast<PyObject *>(Py_TYPE(obj.ptr()));
        std::string kind = py::str(type.attr("__module__")).cast<std::string>() + "." +
                           py::str(type.attr("__qualname__")).cast<std::string>();
        std::string message = "a table of type " + kind +
                              " is read through its Arrow stream, which needs pyarrow: "
                              "pip install 'movra[arrow]'";
        py::raise_from(e, PyExc_ImportError, message.c_str());
        throw py::error_already_set();
    }
}

// from_arrow's frame of a pyarrow Table, its columns left unconsolidated.
// pandas 3 converts through pandas.io._util.arrow_table_to_pandas, which
// takes pyarrow's options; pandas 2.2 has neither it nor from_arrow, and
// its frame is pyarrow's own to_pandas().
py::object arrow_frame(const Call &c, py::handle pandas, py::handle table) {
    py::dict options;
    options["split_blocks"] = py::bool_(true);
    if (optional_attr(pandas.attr("DataFrame"), "from_arrow")) {
        py::object util;
        try {
            util = import_module(c, "pandas.io._util", py::make_tuple("arrow_table_to_pandas"));
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_ImportError)) throw;
        }
        py::object convert = util ? optional_attr(util, "arrow_table_to_pandas") : py::object();
        if (convert) return convert(table, py::arg("to_pandas_kwargs") = options);
        return pandas.attr("DataFrame").attr("from_arrow")(table);
    }
    return table.attr("to_pandas")(**options);
}

// Text columns as large_string, the layout pandas keeps text in: pyarrow
// then hands the column to pandas as it is, where from `string` (32-bit
// offsets) or `string_view` (polars) it converts much more slowly.  The
// frame is the same.
py::object text_as_large_string(py::handle pyarrow, py::object table) {
    py::object types = pyarrow.attr("types");
    py::object is_view = optional_attr(types, "is_string_view");  // pyarrow 16 and later
    py::object large = pyarrow.attr("large_string")();
    py::object schema = table.attr("schema");
    for (size_t i = 0; i < py::len(schema); ++i) {
        py::object field = schema.attr("field")(i);
        py::object type = field.attr("type");
        if (truth(types.attr("is_string")(type)) || (is_view && truth(is_view(type))))
            table = table.attr("set_column")(i, field.attr("with_type")(large),
                                             table.attr("column")(i).attr("cast")(large));
    }
    return table;
}

bool is_list_type(py::handle types, py::handle type) {
    return truth(types.attr("is_list")(type)) || truth(types.attr("is_large_list")(type)) ||
           truth(types.attr("is_fixed_size_list")(type));
}

// An Arrow list column as the Python lists of its items, as a user would
// have built them: the items are the cells that the frame of their own
// column would hold, as tolist() gives them; a null list is None.
py::object list_cells(const Call &c, py::handle pandas, py::handle pyarrow, py::handle column) {
    py::object compute = import_module(c, "pyarrow.compute", py::make_tuple("list_flatten"));
    py::object cells = c.global("numpy").attr("empty")(py::len(column), py::arg("dtype") = py::str("object"));
    constexpr py::ssize_t kCellsPerCheck = 4096;  // interrupt check stride
    py::ssize_t at = 0;
    for (py::handle chunk : column.attr("chunks")) {
        py::object items = pyarrow.attr("table")(py::make_tuple(compute.attr("list_flatten")(chunk)),
                                                 py::arg("names") = py::make_tuple("items"));
        py::list values = arrow_frame(c, pandas, items)[py::str("items")].attr("tolist")();
        py::ssize_t from = 0;
        for (py::handle length : compute.attr("list_value_length")(chunk).attr("to_pylist")()) {
            py::object cell = py::none();
            if (!length.is_none()) {
                py::ssize_t n = length.cast<py::ssize_t>();
                cell = values[py::slice(from, from + n, 1)];
                from += n;
            }
            cells[py::int_(at++)] = cell;
            // A log of millions of lists takes seconds here; Ctrl-C is heard.
            check_interrupts_every(at, kCellsPerCheck);
        }
    }
    return cells;
}

}  // namespace

py::object take_table(const Call &c, py::handle obj) {
    if (!exports_arrow_stream(obj)) return py::reinterpret_borrow<py::object>(obj);
    // pandas' own objects stay what they are: a frame is the table itself,
    // and a Series (which pandas 3 also exports) was never taken as one.
    py::object pandas = c.global("pandas");
    py::object own = py::make_tuple(pandas.attr("DataFrame"), pandas.attr("Series"));
    if (PyObject_IsInstance(obj.ptr(), own.ptr()) != 0) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return py::reinterpret_borrow<py::object>(obj);
    }
    py::object pyarrow = pyarrow_for(c, obj);
    py::object table = text_as_large_string(pyarrow, pyarrow.attr("table")(obj));
    py::object frame = arrow_frame(c, pandas, table);
    py::object schema = table.attr("schema");
    py::object types = pyarrow.attr("types");
    for (size_t i = 0; i < py::len(schema); ++i)
        if (is_list_type(types, schema.attr("field")(i).attr("type")))
            frame.attr("isetitem")(i, list_cells(c, pandas, pyarrow, table.attr("column")(i)));
    return frame;
}

TableArgs::TableArgs(const Call &c, const FunctionEntry &entry, PyObject *const *bound) {
    for (int i = 0; i < entry.argcount(); ++i) args_[i] = bound[i];
    for (int k = 0; k < entry.table_parameters.count; ++k) {
        int i = entry.table_parameters.items[k];
        taken_[i] = take_table(c, bound[i]);
        args_[i] = taken_[i].ptr();
    }
}

}  // namespace movra
