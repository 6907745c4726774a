// The progress bar over a function's windows (progress.h).
#include "progress.h"

namespace movra {

namespace {

PyObject *loaded_class;  // the progress-bar class bound at load

}  // namespace

void hold_progress_class(py::handle cls) { Py_XSETREF(loaded_class, Py_NewRef(cls.ptr())); }

py::ssize_t length_or_unknown(py::handle sized) {
    const Py_ssize_t length = PyObject_Size(sized.ptr());
    if (length >= 0) return length;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::error_already_set();
    PyErr_Clear();
    return kUnknownTotal;
}

ProgressDisplay::ProgressDisplay(const Call &c) : tqdm_(c.global("tqdm")), own_(tqdm_.is(py::handle(loaded_class))) {}

ProgressBar::ProgressBar(const Call &c, py::ssize_t total, const char *label)
    : bar_(c.global("tqdm")(py::arg("total") = total, py::arg("desc") = label)) {}

void ProgressBar::close() {
    py::object bar = std::move(bar_);
    bar_ = py::object();
    if (bar) bar.attr("close")();
}

ProgressBar::~ProgressBar() {
    if (!bar_) return;
    py::error_scope reported;  // fetches the error now, restores it on leaving
    PyObject *result = PyObject_CallMethod(bar_.ptr(), "close", nullptr);
    if (result == nullptr) PyErr_Clear();
    Py_XDECREF(result);
}

}  // namespace movra
