// Arrow-backed integer columns read where they lie.
//
// A table read with dtype_backend="pyarrow", or handed over by polars or
// DuckDB with nulls nowhere, holds its keys and day numbers as Arrow
// integers.  In one chunk and without nulls, such a column is one buffer
// of integers of its width, which the kernel reads as it reads a numpy
// column: no conversion, no copy (Arrow arrays do not change, so nothing
// needs confirming either).
#include "examination.h"

namespace movra::fe4ts_layer {

bool arrow_integers(py::handle column, const ColumnType &t, const Buffers &buffers, bool signed_only,
                    k::Column &col) {
    if (t.family != ColumnType::Arrow || (t.kind != 'i' && (t.kind != 'u' || signed_only))) return false;
    py::list chunks = column.attr("array").attr("__arrow_array__")().attr("chunks");
    if (py::len(chunks) != 1) return false;
    py::handle chunk = chunks[0];
    if (chunk.attr("null_count").cast<int64_t>() != 0 || chunk.attr("__len__")().cast<int64_t>() != buffers.rows)
        return false;
    const int width = chunk.attr("type").attr("bit_width").cast<int>() / 8;
    const bool is_signed = t.kind == 'i';
    if (width != 1 && width != 2 && width != 4 && !(width == 8 && is_signed)) return false;
    py::list held = chunk.attr("buffers")();
    if (py::len(held) != 2 || held[1].is_none()) return false;
    const auto offset = chunk.attr("offset").cast<int64_t>();
    const Py_buffer &data = buffers.held.acquire(held[1], PyBUF_SIMPLE);
    if (static_cast<uint64_t>(data.len) < static_cast<uint64_t>(offset + buffers.rows) * static_cast<uint64_t>(width))
        return false;
    const void *values = static_cast<const char *>(data.buf) + offset * width;
    if (width == 8)
        col.i64 = static_cast<const int64_t *>(values);
    else
        col.point_at(values, width, is_signed, 0);
    return true;
}

}  // namespace movra::fe4ts_layer
