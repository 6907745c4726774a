// load_model: reads a pickled model record.  A record tagged "keras" holds
// a network in portable form (the architecture as character-reversed
// Base64 of its JSON text, and the weight arrays); it is rebuilt into a
// live Keras model that replaces the stored pair under "mapping".  Any
// other record comes back exactly as unpickled, and Keras is imported only
// for network records, so scripts that load other records need no Keras.
#include "../module/table.h"

namespace movra {

namespace {

// One name of a `from ... import` statement: the module's attribute, else a
// submodule already registered under the dotted name, else ImportError
// "cannot import name ...".
py::object import_from(py::handle module, const char *name) {
    py::handle attr = interned(name);
    PyObject *value = PyObject_GetAttr(module.ptr(), attr.ptr());
    if (value != nullptr) return py::reinterpret_steal<py::object>(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    PyObject *pkgname = PyObject_GetAttrString(module.ptr(), "__name__");
    if (pkgname != nullptr && PyUnicode_Check(pkgname)) {
        PyObject *full = PyUnicode_FromFormat("%U.%U", pkgname, attr.ptr());
        if (full != nullptr) {
            value = PyImport_GetModule(full);
            Py_DECREF(full);
        }
    }
    Py_XDECREF(pkgname);
    if (value != nullptr) return py::reinterpret_steal<py::object>(value);
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name %S", attr.ptr());
    throw py::error_already_set();
}

}  // namespace

py::object load_model(Call &c) {
    py::object path = c.arg(0);

    // 1. The record, unpickled from the whole file.
    MOVRA_AT(c);
    py::object f = open_file(c, path, interned("rb"));
    py::object model;
    try {
        MOVRA_AT(c);
        model = c.global("pickle").attr("load")(f);
    } catch (py::error_already_set &) {
        // The file is closed now, not whenever the failed call's objects
        // happen to be released.
        close_quietly(f);
        throw;
    }
    MOVRA_AT(c);
    f.attr("close")();
    f = py::object();

    // 2. Anything but a network comes back as it is.
    py::handle tag_key = interned("tag"), mapping_key = interned("mapping");
    MOVRA_AT(c);
    if (!truth(eq(model[tag_key], interned("keras")))) return model;

    // 3. from keras.models import model_from_json; import base64
    MOVRA_AT(c);
    py::object model_from_json =
        import_from(import_module(c, "keras.models", py::make_tuple(interned("model_from_json"))), "model_from_json");
    MOVRA_AT(c);
    py::object base64 = import_module(c, "base64");

    // 4. The network rebuilt from its reversed Base64 architecture text,
    // then given its weights.
    MOVRA_AT(c);
    py::object w = model[mapping_key][py::int_(1)];
    MOVRA_AT(c);
    py::object reversed = slice(model[mapping_key][py::int_(0)], py::handle(), py::handle(), py::int_(-1));
    MOVRA_AT(c);
    py::object text = base64.attr("b64decode")(reversed).attr("decode")(interned("utf-8"));
    MOVRA_AT(c);
    model[mapping_key] = model_from_json(text);
    MOVRA_AT(c);
    model[mapping_key].attr("set_weights")(w);
    return model;
}

namespace {
const char *const load_model_parameters[] = {"path"};
const char *const load_model_locals[] = {"model", "model_from_json", "base64", "w"};
}  // namespace

extern const FunctionEntry load_model_entry =
    MOVRA_SINGLE_ARGUMENT_FUNCTION(load_model).parameters(load_model_parameters).locals(load_model_locals);

}  // namespace movra
