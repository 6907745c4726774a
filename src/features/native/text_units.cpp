// Text units coded from the column's own strings.
//
// Consumer numbers are text in most tables.  pandas' factorize would hash
// them through its own tables, hand back int32 codes and widen them to
// int64: three passes and two fresh arrays per reading.  Here the strings
// are read where they lie, Arrow buffers or the str objects of an object
// column, and each reading's code is written once, into the array the
// kernel reads.  Codes follow first sight, as factorize's do; missing
// values are -1, a unit no window names.
//
// Texts compare as Python compares str: Arrow strings as their UTF-8 bytes,
// a str object as its kind and code units (CPython keeps every str in the
// narrowest kind that holds it, so equal strings have equal bytes).  The
// windows' units are made bytes the same way.
#include "examination.h"
#include "../kernel/text_codes.h"

#include <cmath>

namespace movra::fe4ts_layer {

namespace {

// The bytes a Python str is compared by within one column: UTF-8 for Arrow
// strings; for str objects, the kind first, then the code units.
bool text_bytes(PyObject *s, bool utf8_bytes, std::string &scratch, const char *&data, size_t &size) {
    if (utf8_bytes) {
        Py_ssize_t n = 0;
        data = PyUnicode_AsUTF8AndSize(s, &n);
        if (data == nullptr) {  // lone surrogates: no Arrow string equals it
            PyErr_Clear();
            return false;
        }
        size = static_cast<size_t>(n);
        return true;
    }
    const int kind = PyUnicode_KIND(s);
    scratch.assign(1, static_cast<char>(kind));
    scratch.append(static_cast<const char *>(PyUnicode_DATA(s)), static_cast<size_t>(PyUnicode_GET_LENGTH(s)) * kind);
    data = scratch.data();
    size = scratch.size();
    return true;
}

// Whether `o` is a missing value as factorize drops it (None, NaN, pd.NA).
bool missing_value(PyObject *o, PyObject *na) {
    return o == Py_None || o == na || (PyFloat_Check(o) && std::isnan(PyFloat_AS_DOUBLE(o)));
}

// An object column of str and missing values: coded; false (nothing
// written) at the first value of another type, which pandas codes instead.
bool code_objects(const Context &cx, py::handle column, int64_t rows, k::TextCodes &codes, int64_t *out) {
    py::object values = column.attr("to_numpy")();
    if (!is_plain_array(values, rows)) return false;
    const auto array = py::reinterpret_borrow<py::array>(values);
    if (array.dtype().kind() != 'O' || array.strides(0) != static_cast<py::ssize_t>(sizeof(PyObject *))) return false;
    PyObject *const *items = static_cast<PyObject *const *>(array.data());
    py::object na = cx.pandas.attr("NA");
    std::string scratch;
    const char *data = nullptr;
    size_t size = 0;
    for (int64_t i = 0; i < rows; i++) {
        PyObject *o = items[i];
        if (PyUnicode_CheckExact(o) && text_bytes(o, false, scratch, data, size))
            out[i] = codes.code(data, size);
        else if (missing_value(o, na.ptr()) && !PyUnicode_Check(o))
            out[i] = -1;
        else
            return false;
        if ((i & 0xFFFFF) == 0xFFFFF) check_interrupts();
    }
    return true;
}

// The values of an Arrow `string` or `large_string` array (`large`) coded
// into out[0 .. len); false for an array not laid out as those are.  Its
// buffers stay held by `held` while they are read.
bool code_strings(py::handle array, bool large, native::Holder &held, k::TextCodes &codes, int64_t *out) {
    const auto n = array.attr("__len__")().cast<int64_t>();
    const auto offset = array.attr("offset").cast<int64_t>();
    py::list buffers = array.attr("buffers")();
    if (py::len(buffers) != 3) return false;
    if (n == 0) return true;
    const uint8_t *validity = nullptr;
    if (!buffers[0].is_none() && array.attr("null_count").cast<int64_t>() > 0)
        validity = static_cast<const uint8_t *>(held.acquire(buffers[0], PyBUF_SIMPLE).buf);
    const Py_buffer &offsets = held.acquire(buffers[1], PyBUF_SIMPLE);
    const size_t width = large ? 8 : 4;
    if (static_cast<size_t>(offsets.len) < (static_cast<size_t>(offset + n) + 1) * width) return false;
    const char *data = "";
    size_t data_size = 0;
    if (!buffers[2].is_none()) {
        const Py_buffer &d = held.acquire(buffers[2], PyBUF_SIMPLE);
        data = static_cast<const char *>(d.buf);
        data_size = static_cast<size_t>(d.len);
    }
    if (large)
        k::code_arrow_strings(static_cast<const int64_t *>(offsets.buf), data, data_size, validity, offset, n, codes,
                              out);
    else
        k::code_arrow_strings(static_cast<const int32_t *>(offsets.buf), data, data_size, validity, offset, n, codes,
                              out);
    return true;
}

// Dictionary-coded values: out[i] = dictionary_codes[index[i]] (-1 for a
// null or a negative index), `index` integers of numpy's kind letter and
// width as given; false for another kind.
bool code_index_buffer(const void *index, char kind, int width, const uint8_t *validity, int64_t offset, int64_t n,
                       const std::vector<int64_t> &dictionary_codes, int64_t *out) {
    auto code = [&](auto typed) {
        k::code_indices(static_cast<const decltype(typed) *>(index), validity, offset, n, dictionary_codes, out);
        return true;
    };
    if (kind == 'i' && width == 1) return code(int8_t());
    if (kind == 'i' && width == 2) return code(int16_t());
    if (kind == 'i' && width == 4) return code(int32_t());
    if (kind == 'i' && width == 8) return code(int64_t());
    if (kind == 'u' && width == 1) return code(uint8_t());
    if (kind == 'u' && width == 2) return code(uint16_t());
    if (kind == 'u' && width == 4) return code(uint32_t());
    if (kind == 'u' && width == 8) return code(uint64_t());
    return false;
}

// An Arrow dictionary array of strings: its dictionary coded, then its
// indices mapped through it.  Each chunk may have a dictionary of its own.
bool code_dictionary(py::handle array, native::Holder &held, k::TextCodes &codes, int64_t *out) {
    py::object dictionary = array.attr("dictionary");
    const std::string type = utf8(py::str(dictionary.attr("type")));
    if (type != "string" && type != "large_string") return false;
    std::vector<int64_t> dictionary_codes(py::len(dictionary));
    if (!code_strings(dictionary, type == "large_string", held, codes, dictionary_codes.data())) return false;
    py::object indices = array.attr("indices");
    const auto n = indices.attr("__len__")().cast<int64_t>();
    if (n == 0) return true;
    py::object index_type = indices.attr("type");
    const int width = index_type.attr("bit_width").cast<int>() / 8;
    const std::string name = utf8(py::str(index_type));
    const char kind = name.rfind("int", 0) == 0 ? 'i' : name.rfind("uint", 0) == 0 ? 'u' : 0;
    py::list buffers = indices.attr("buffers")();
    if (py::len(buffers) != 2 || buffers[1].is_none()) return false;
    const auto offset = indices.attr("offset").cast<int64_t>();
    const uint8_t *validity = nullptr;
    if (!buffers[0].is_none() && indices.attr("null_count").cast<int64_t>() > 0)
        validity = static_cast<const uint8_t *>(held.acquire(buffers[0], PyBUF_SIMPLE).buf);
    const Py_buffer &data = held.acquire(buffers[1], PyBUF_SIMPLE);
    if (static_cast<size_t>(data.len) < static_cast<size_t>(offset + n) * static_cast<size_t>(width)) return false;
    return code_index_buffer(data.buf, kind, width, validity, offset, n, dictionary_codes, out);
}

// An Arrow-backed column of strings or of dictionaries of strings, chunk
// after chunk; false for any other Arrow type.
bool code_arrow(py::handle column, int64_t rows, native::Holder &held, k::TextCodes &codes, int64_t *out) {
    py::object chunked = column.attr("array").attr("__arrow_array__")();
    int64_t at = 0;
    for (py::handle chunk : chunked.attr("chunks")) {
        const auto n = chunk.attr("__len__")().cast<int64_t>();
        if (at + n > rows) return false;
        const std::string type = utf8(py::str(chunk.attr("type")));
        bool coded = false;
        if (type == "string" || type == "large_string")
            coded = code_strings(chunk, type == "large_string", held, codes, out + at);
        else if (type.rfind("dictionary<", 0) == 0)
            coded = code_dictionary(chunk, held, codes, out + at);
        if (!coded) return false;
        at += n;
        check_interrupts();
    }
    return at == rows;
}

// A categorical of str categories: its categories coded, then its codes
// (-1: missing) mapped through them, read at their own width.
bool code_categorical(const Context &cx, py::handle column, int64_t rows, const Buffers &buffers,
                      k::TextCodes &codes, int64_t *out) {
    py::list categories = column.attr("cat").attr("categories").attr("tolist")();
    std::vector<int64_t> category_codes;
    category_codes.reserve(py::len(categories));
    std::string scratch;
    const char *data = nullptr;
    size_t size = 0;
    for (py::handle c : categories) {
        if (!PyUnicode_CheckExact(c.ptr()) || !text_bytes(c.ptr(), false, scratch, data, size)) return false;
        category_codes.push_back(codes.code(data, size));
    }
    py::object values = column.attr("cat").attr("codes").attr("to_numpy")();
    const auto array = py::reinterpret_borrow<py::array>(values);
    if (!is_plain_array(values, rows) || array.dtype().kind() != 'i') return false;
    const char *dtype = array.itemsize() == 1 ? "int8" : array.itemsize() == 2 ? "int16" : array.itemsize() == 4 ? "int32" : "int64";
    const void *index = nullptr;
    if (array.itemsize() == 1) index = buffers.of<int8_t>(values, dtype);
    else if (array.itemsize() == 2) index = buffers.of<int16_t>(values, dtype);
    else if (array.itemsize() == 4) index = buffers.of<int32_t>(values, dtype);
    else index = buffers.of<int64_t>(values, dtype);
    (void)cx;
    return code_index_buffer(index, 'i', static_cast<int>(array.itemsize()), nullptr, 0, rows, category_codes, out);
}

// Whether a column holds Arrow strings, or Arrow dictionaries of them.
bool arrow_text(const ColumnType &t) {
    if (t.family == ColumnType::Arrow) {
        if (t.text) return true;
        const std::string type = utf8(py::str(t.dtype.attr("pyarrow_dtype")));
        return type.rfind("dictionary<values=string", 0) == 0 || type.rfind("dictionary<values=large_string", 0) == 0;
    }
    return t.text && utf8(py::str(optional_attr(t.dtype, "storage"))) == "pyarrow";
}

}  // namespace

bool text_units(const Context &cx, py::handle column, const ColumnType &t, const py::list &window_units,
                const Buffers &buffers, Units &out) {
    const bool arrow = arrow_text(t);
    const bool categorical = t.family == ColumnType::Categorical;
    if (!arrow && !categorical && !t.numpy_kind("O")) return false;
    // A window unit that is neither text nor a number or missing value is
    // compared by its own ==, which pandas' codes answer.
    py::object na = cx.pandas.attr("NA");
    for (py::handle u : window_units) {
        PyObject *o = u.ptr();
        if (!PyUnicode_Check(o) && !PyLong_Check(o) && !PyFloat_Check(o) && !missing_value(o, na.ptr())) return false;
    }
    py::array_t<int64_t> codes(static_cast<py::ssize_t>(buffers.rows));
    k::TextCodes coded;
    int64_t *readings = codes.mutable_data();
    if (!(arrow         ? code_arrow(column, buffers.rows, buffers.held, coded, readings)
          : categorical ? code_categorical(cx, column, buffers.rows, buffers, coded, readings)
                        : code_objects(cx, column, buffers.rows, coded, readings)))
        return false;
    buffers.held.push_back(codes);
    out.readings = readings;
    const size_t windows = py::len(window_units);
    out.of_window.assign(windows, 0);
    out.unmatched.assign(windows, 0);
    std::string scratch;
    for (size_t w = 0; w < windows; w++) {
        PyObject *u = window_units[w].ptr();
        const char *data = nullptr;
        size_t size = 0;
        const int64_t code = PyUnicode_Check(u) && text_bytes(u, arrow, scratch, data, size) ? coded.find(data, size) : -1;
        if (code < 0)
            out.unmatched[w] = 1;  // no reading's text, or not text: equal to none
        else
            out.of_window[w] = code;
    }
    return true;
}

}  // namespace movra::fe4ts_layer
