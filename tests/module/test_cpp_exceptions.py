"""C++ exceptions thrown under a movra function reach Python as exceptions of
the right class with their message, never as SystemError.

The probe module, built with the native tests, throws each kind through
the translation that every movra function returns through.  The kernel's
own allocation failure is seen end to end, traceback entry included, in
tests/hardening/test_memory_limit.py."""
import pytest

probe = pytest.importorskip("_movra_error_probe", reason="built with -DMOVRA_BUILD_NATIVE_TESTS=ON")

MESSAGE = "the unit or time column changed while it was read"

# kind thrown -> (class raised, its message)
EXPECTED = {
    "bad_alloc": (MemoryError, ""),
    "bad_array_new_length": (MemoryError, ""),
    "length_error": (MemoryError, MESSAGE),
    "invalid_argument": (ValueError, MESSAGE),
    "domain_error": (ValueError, MESSAGE),
    "out_of_range": (ValueError, MESSAGE),
    "logic_error": (RuntimeError, MESSAGE),
    "runtime_error": (RuntimeError, MESSAGE),
    "overflow_error": (RuntimeError, MESSAGE),
    "exception": (RuntimeError, MESSAGE),
    "not_an_exception": (RuntimeError, "unknown C++ exception"),
    # Python exceptions carried through C++ keep their class.
    "python": (KeyError, repr(MESSAGE)),
    "pybind11_value_error": (ValueError, MESSAGE),
    "pybind11_cast_error": (RuntimeError, MESSAGE),
}


def raised(kind, message):
    try:
        probe.throw_cpp(kind, message)
    except BaseException as e:  # noqa: B902 - whatever it is, it is the answer
        return type(e), str(e)
    raise AssertionError(f"{kind}: nothing raised")


def test_each_kind_becomes_its_python_class_with_its_message():
    got = {kind: raised(kind, MESSAGE.encode()) for kind in EXPECTED}
    assert got == EXPECTED


def test_system_error_keeps_its_message():
    cls, text = raised("system_error", MESSAGE.encode())
    assert cls is RuntimeError and text.startswith(MESSAGE)


def test_a_message_that_is_not_utf8_is_still_reported():
    assert raised("runtime_error", b"column \xff changed") == (RuntimeError, "column \ufffd changed")
