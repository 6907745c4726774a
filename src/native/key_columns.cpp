// Columns of keys the kernels code by value (key_columns.h).
#include "key_columns.h"

#include "scalars.h"

#include <string>

namespace movra::native {

Reason key_column_reason(py::handle pandas, py::handle numpy, const char *role, py::handle label, py::handle column,
                         const KeyRule &rule, bool &numeric) {
    const ColumnType t = type_of(pandas, numpy, column);
    numeric = false;
    if (t.numpy_kind("O")) {
        const std::string inferred = utf8(pandas.attr("api").attr("types").attr("infer_dtype")(column));
        if (inferred == "string" || (rule.integer_objects && inferred == "integer")) return {};
        return described(role, label, t) + " holds " + inferred + " objects, not all str" +
               (rule.integer_objects ? " or all int" : "") + "; cast it to str";
    }
    if (t.family == ColumnType::Numpy && rule.numbers(t)) {
        numeric = true;
        return {};
    }
    if (t.family != ColumnType::Numpy && t.text) return {};
    return described(role, label, t) + " is not of a dtype the kernel codes by value; cast it to int64 or str";
}

}  // namespace movra::native
