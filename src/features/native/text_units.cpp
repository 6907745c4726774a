// Text units coded from the column's own strings.
//
// Consumer numbers are text in most tables.  pandas' factorize would hash
// every reading's text into a table of every consumer, hand back int32
// codes and widen them to int64: three passes and two fresh arrays per
// reading.  Here the texts the windows name are coded first, and each
// reading's text, read where it lies (Arrow buffers, or the str objects of
// an object column), is looked up among them: its code, one code shared by
// every unit no window names, or -1 when missing.  The codes are written
// once, into the array the kernel reads; a few windows over a big table
// look each reading up in a table of a few entries.
//
// Texts compare as Python compares str: Arrow strings as their UTF-8 bytes,
// a str object as its code units tagged with their kind (CPython keeps
// every str in the narrowest kind that holds it, so equal strings have
// equal units).  The windows' units are made bytes the same way.
#include "../kernel/parallel.h"
#include "../kernel/text_codes.h"
#include "../../native/interrupts.h"
#include "examination.h"
#include "kernel_run.h"

#include <algorithm>
#include <cmath>

namespace movra::fe4ts_layer {

namespace {

// A Python str as the texts of one column are compared.
struct Text {
    const char *data = nullptr;
    size_t size = 0;
    unsigned tag = 0;
};

bool text_of_str(PyObject *s, bool utf8_bytes, Text &out) {
    if (utf8_bytes) {
        Py_ssize_t n = 0;
        out.data = PyUnicode_AsUTF8AndSize(s, &n);
        if (out.data == nullptr) {  // lone surrogates: no Arrow string equals it
            PyErr_Clear();
            return false;
        }
        out.size = static_cast<size_t>(n);
        out.tag = 0;
        return true;
    }
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(s) < 0) {  // a legacy string that cannot be made compact
        PyErr_Clear();
        return false;
    }
#endif
    out.tag = PyUnicode_KIND(s);
    out.data = static_cast<const char *>(PyUnicode_DATA(s));
    out.size = static_cast<size_t>(PyUnicode_GET_LENGTH(s)) * out.tag;
    return true;
}

// Whether `o` is a missing value as factorize drops it (None, NaN, pd.NA).
bool missing_value(PyObject *o, PyObject *na) {
    return o == Py_None || o == na || (PyFloat_Check(o) && std::isnan(PyFloat_AS_DOUBLE(o)));
}

// What the readings' texts are looked up in: the windows' texts, and the
// code of every other text.
struct Wanted {
    k::TextCodes codes;
    int64_t other = 0;
    int threads = 1;
    int64_t code(const Text &t) const {
        const int64_t c = codes.find(t.data, t.size, t.tag);
        return c < 0 ? other : c;
    }
};

// An object column of str and missing values, coded and copied in one
// loop (the copy, a new object array holding the same objects, is what the
// call confirms the column against before the kernel runs: reading each
// object's text brings it into cache, where its reference costs nothing
// more); false at the first value of another type, which pandas codes
// instead.  The loop runs no Python code.
bool code_objects(const Context &cx, py::handle column, int64_t rows, const Wanted &wanted, int64_t *out,
                  py::object &live, py::object &copy) {
    py::object values = column.attr("to_numpy")();
    if (!is_plain_array(values, rows)) return false;
    const auto array = py::reinterpret_borrow<py::array>(values);
    if (array.dtype().kind() != 'O' || array.strides(0) != static_cast<py::ssize_t>(sizeof(PyObject *))) return false;
    py::array copied = cx.numpy.attr("empty")(rows, py::arg("dtype") = array.dtype());
    if (!is_plain_array(copied, rows) || copied.dtype().kind() != 'O') return false;
    PyObject *const *items = static_cast<PyObject *const *>(array.data());
    PyObject **kept = static_cast<PyObject **>(copied.mutable_data());
    py::object na = cx.pandas.attr("NA");
    Text text;
    for (int64_t i = 0; i < rows; i++) {
        PyObject *o = items[i];
        if (PyUnicode_CheckExact(o) && text_of_str(o, false, text))
            out[i] = wanted.code(text);
        else if (missing_value(o, na.ptr()))
            out[i] = -1;
        else
            return false;
        Py_INCREF(o);
        Py_XSETREF(kept[i], o);
    }
    live = values;
    copy = copied;
    return true;
}

// The validity bitmap of an Arrow array of n values from `offset` (its
// buffers[0]), held by `held`: null when the array has no nulls; `ok`
// false when the bitmap is shorter than the values.
const uint8_t *validity_of(py::handle array, const py::list &buffers, int64_t offset, int64_t n,
                           native::Holder &held, bool &ok) {
    ok = true;
    if (buffers[0].is_none() || array.attr("null_count").cast<int64_t>() == 0) return nullptr;
    const Py_buffer &bits = held.acquire(buffers[0], PyBUF_SIMPLE);
    ok = static_cast<uint64_t>(bits.len) * 8 >= static_cast<uint64_t>(offset + n);
    return static_cast<const uint8_t *>(bits.buf);
}

// The values of an Arrow `string` or `large_string` array (`large`) coded
// into out[0 .. len), by up to `wanted.threads` threads (the interpreter's
// lock held: the caller's buffers stay as they are); false for an array not
// laid out as those are.  Its buffers stay held by `held` while read.
bool code_strings(py::handle array, bool large, native::Holder &held, const Wanted &wanted, int64_t *out) {
    const auto n = array.attr("__len__")().cast<int64_t>();
    const auto offset = array.attr("offset").cast<int64_t>();
    py::list buffers = array.attr("buffers")();
    if (py::len(buffers) != 3) return false;
    if (n == 0) return true;
    bool ok = true;
    const uint8_t *validity = validity_of(array, buffers, offset, n, held, ok);
    if (!ok) return false;
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
    constexpr int64_t kPart = int64_t{1} << 20;
    k::for_each_part(wanted.threads, (n + kPart - 1) / kPart, [&](int64_t p, int) {
        const int64_t from = p * kPart, count = std::min(n - from, kPart);
        if (large)
            k::code_arrow_strings(static_cast<const int64_t *>(offsets.buf), data, data_size, validity, offset + from,
                                  count, wanted.codes, wanted.other, out + from);
        else
            k::code_arrow_strings(static_cast<const int32_t *>(offsets.buf), data, data_size, validity, offset + from,
                                  count, wanted.codes, wanted.other, out + from);
    });
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
bool code_dictionary(py::handle array, native::Holder &held, const Wanted &wanted, int64_t *out) {
    py::object dictionary = array.attr("dictionary");
    const std::string type = utf8(py::str(dictionary.attr("type")));
    if (type != "string" && type != "large_string") return false;
    std::vector<int64_t> dictionary_codes(py::len(dictionary));
    if (!code_strings(dictionary, type == "large_string", held, wanted, dictionary_codes.data())) return false;
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
    bool ok = true;
    const uint8_t *validity = validity_of(indices, buffers, offset, n, held, ok);
    if (!ok) return false;
    const Py_buffer &data = held.acquire(buffers[1], PyBUF_SIMPLE);
    if (static_cast<size_t>(data.len) < static_cast<size_t>(offset + n) * static_cast<size_t>(width)) return false;
    return code_index_buffer(data.buf, kind, width, validity, offset, n, dictionary_codes, out);
}

// An Arrow-backed column of strings or of dictionaries of strings, chunk
// after chunk; false for any other Arrow type.
bool code_arrow(py::handle column, int64_t rows, native::Holder &held, const Wanted &wanted, int64_t *out) {
    py::object chunked = column.attr("array").attr("__arrow_array__")();
    int64_t at = 0;
    for (py::handle chunk : chunked.attr("chunks")) {
        const auto n = chunk.attr("__len__")().cast<int64_t>();
        if (at + n > rows) return false;
        const std::string type = utf8(py::str(chunk.attr("type")));
        bool coded = false;
        if (type == "string" || type == "large_string")
            coded = code_strings(chunk, type == "large_string", held, wanted, out + at);
        else if (type.rfind("dictionary<", 0) == 0)
            coded = code_dictionary(chunk, held, wanted, out + at);
        if (!coded) return false;
        at += n;
        check_interrupts();
    }
    return at == rows;
}

// A categorical of str categories: its categories coded, then its codes
// (-1: missing) mapped through them, read at their own width.
bool code_categorical(py::handle column, int64_t rows, const Buffers &buffers, const Wanted &wanted, int64_t *out) {
    py::list categories = column.attr("cat").attr("categories").attr("tolist")();
    std::vector<int64_t> category_codes;
    category_codes.reserve(py::len(categories));
    Text text;
    for (py::handle c : categories) {
        if (!PyUnicode_CheckExact(c.ptr()) || !text_of_str(c.ptr(), false, text)) return false;
        category_codes.push_back(wanted.code(text));
    }
    py::object values = column.attr("cat").attr("codes").attr("to_numpy")();
    const auto array = py::reinterpret_borrow<py::array>(values);
    if (!is_plain_array(values, rows) || array.dtype().kind() != 'i') return false;
    const void *index = nullptr;
    switch (array.itemsize()) {
        case 1: index = buffers.of<int8_t>(values, "int8"); break;
        case 2: index = buffers.of<int16_t>(values, "int16"); break;
        case 4: index = buffers.of<int32_t>(values, "int32"); break;
        default: index = buffers.of<int64_t>(values, "int64");
    }
    return code_index_buffer(index, 'i', static_cast<int>(array.itemsize()), nullptr, 0, rows, category_codes, out);
}

// Whether a column holds Arrow strings, or Arrow dictionaries of them.
bool arrow_text(const ColumnType &t) {
    if (t.family == ColumnType::Arrow) {
        if (t.text) return true;
        const std::string type = utf8(py::str(t.dtype.attr("pyarrow_dtype")));
        return type.rfind("dictionary<values=string", 0) == 0 || type.rfind("dictionary<values=large_string", 0) == 0;
    }
    const std::string storage = utf8(py::str(optional_attr(t.dtype, "storage")));
    return t.text && (storage == "pyarrow" || storage == "pyarrow_numpy");  // the latter: pandas 2's NaN variant
}

// The threads that look texts up: the kernel's, as the call will have them
// (a malformed MOVRA_NUM_THREADS is reported where the kernel starts).
int lookup_threads(int64_t rows) {
    try {
        return kernel_threads(rows);
    } catch (const py::value_error &) {
        return 1;
    }
}

}  // namespace

bool text_units(const Context &cx, py::handle column, const ColumnType &t, const py::list &window_units,
                const Buffers &buffers, Units &out, py::object &live, py::object &copy) {
    const bool arrow = arrow_text(t);
    const bool categorical = t.family == ColumnType::Categorical;
    if (!arrow && !categorical && !t.numpy_kind("O")) return false;
    // The windows' texts get codes.  A number or a missing value equals no
    // text; any other object compares by its own ==, which pandas' codes
    // answer.
    Wanted wanted;
    py::object na = cx.pandas.attr("NA");
    const size_t windows = py::len(window_units);
    out.of_window.assign(windows, 0);
    out.unmatched.assign(windows, 0);
    Text text;
    for (size_t w = 0; w < windows; w++) {
        PyObject *u = window_units[w].ptr();
        if (PyUnicode_Check(u) && text_of_str(u, arrow, text))
            out.of_window[w] = wanted.codes.code(text.data, text.size, text.tag);
        else if (PyUnicode_Check(u) || PyLong_Check(u) || PyFloat_Check(u) || missing_value(u, na.ptr()))
            out.unmatched[w] = 1;
        else
            return false;
    }
    wanted.other = wanted.codes.size();
    wanted.threads = lookup_threads(buffers.rows);
    py::array_t<int64_t> codes(static_cast<py::ssize_t>(buffers.rows));
    int64_t *readings = codes.mutable_data();
    if (!(arrow         ? code_arrow(column, buffers.rows, buffers.held, wanted, readings)
          : categorical ? code_categorical(column, buffers.rows, buffers, wanted, readings)
                        : code_objects(cx, column, buffers.rows, wanted, readings, live, copy)))
        return false;
    buffers.held.push_back(codes);
    out.readings = readings;
    // A window whose text no reading has finds no readings under its code.
    return true;
}

}  // namespace movra::fe4ts_layer
