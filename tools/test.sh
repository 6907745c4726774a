#!/usr/bin/env bash
# Runs the test suite from a fresh checkout: first the native unit tests of
# the kernels (plain C++, under the sanitizers), then movra built into
# three new virtual environments and every test run in each,
#   1. the newest pandas and numpy from PyPI, with Keras 3 on the JAX CPU backend,
#      against movra as users install it: an sdist, a wheel built from it and
#      repaired to a manylinux tag (tools/wheel.sh's steps), the suite run from
#      a copy of what it reads, away from the source tree; there the type
#      stubs are also checked against the installed module (stubtest), and
#      scikit-learn and matplotlib let the examples' tests run whole;
#   2. pandas 2.2 with numpy 1.26, the oldest versions movra supports, and
#      pyarrow (its last releases for numpy 1) for the Arrow-backed columns;
#      both 1 and 2 with polars and DuckDB, whose tables the functions take too;
#   3. movra built with AddressSanitizer and UndefinedBehaviorSanitizer (the
#      runtime preloaded into the interpreter), newest pandas, without Keras.
# Usage: bash tools/test.sh [extra pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
python=${PYTHON:-python3}
source tools/wheel-steps.sh

# suite VENV [pip arguments...]: a new environment, movra built into it from
# the checkout, the tests run there.
suite() {
    local venv=$1
    shift
    new_env "$venv" "$@" "$root[test]"
    run_tests "$venv" "$root"
}

# wheel_suite VENV [pip arguments...]: a new environment, the repaired wheel
# installed into it with its test and Dask extras, the tests run from a copy.
wheel_suite() {
    local venv=$1
    shift
    build_wheel "$root" "$root/build/wheel-tools" "$root/build/wheelhouse"
    new_env "$venv" "$@" "$repaired[test,dask]"
    suite_copy "$root" "$root/build/wheel-suite"
    (cd "$root/build/wheel-suite" && imported_from_venv "$root/$venv")
    run_tests "$venv" "$root/build/wheel-suite"
}

# new_env VENV [pip arguments...]: a new environment with these installed.
new_env() {
    local venv=$1
    shift
    echo "=== $venv: installing $*"
    "$python" -m venv --clear "$venv"
    "$venv/bin/python" -m pip install -q -U pip
    "$venv/bin/python" -m pip install -q "$@"
    "$venv/bin/python" -c "import numpy, pandas; print('numpy', numpy.__version__, 'pandas', pandas.__version__)"
}

# run_tests VENV FOLDER: the suite of FOLDER run by VENV's interpreter.
run_tests() {
    local venv=$1 folder=$2
    echo "=== $venv: running the tests in $folder"
    (cd "$folder" && KERAS_BACKEND=jax $PRELOAD "$root/$venv/bin/python" -m pytest tests -p no:cacheprovider "${PYTEST_ARGS[@]}")
}

# stubs VENV FOLDER: the stubs installed into VENV (the stub package mypy
# finds) against the module installed beside them, with mypy's stubtest run
# from FOLDER, away from the checkout's python/: every name, parameter, kind
# and default must agree.
stubs() {
    local venv=$1 folder=$2
    echo "=== $venv: checking the installed type stubs"
    (cd "$folder" && "$root/$venv/bin/python" -m mypy.stubtest movra \
        --mypy-config-file pyproject.toml --allowlist "$root/tools/stubtest-allowlist.txt")
}

# native: the kernel's own C++ tests, built with CMake and run by ctest.
native() {
    local venv=.venv-test-native
    echo "=== native kernel tests"
    "$python" -m venv --clear "$venv"
    "$venv/bin/python" -m pip install -q -U pip
    "$venv/bin/python" -m pip install -q cmake ninja pybind11
    "$venv/bin/cmake" -G Ninja -S "$root" -B "$root/build/native" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DMOVRA_BUILD_NATIVE_TESTS=ON -DMOVRA_SANITIZE=ON -DPython_EXECUTABLE="$root/$venv/bin/python" \
        -Dpybind11_DIR="$("$venv/bin/python" -m pybind11 --cmakedir)" > /dev/null
    "$venv/bin/cmake" --build "$root/build/native" --target test_kernel_stats test_kernel_windows test_kernel_ordering test_kernel_scans test_key_columns test_record_layout test_column_placement \
        test_event_kernels _movra_error_probe
    "$venv/bin/ctest" --test-dir "$root/build/native" --output-on-failure
    # The probe that throws each C++ exception kind through the translation
    # every movra function returns through (built here only, so the suites'
    # environments skip its test).  It is instrumented: the runtimes preloaded.
    "$venv/bin/python" -m pip install -q pytest pandas tqdm
    (cd "$root" && env LD_PRELOAD="$(sanitizer_runtimes)" ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
        PYTHONPATH="$root/build/native" "$venv/bin/python" -m pytest tests/module/test_cpp_exceptions.py \
        -p no:cacheprovider -q)
}

# The sanitizer runtimes, to preload into an interpreter that is not instrumented.
sanitizer_runtimes() {
    local cxx=${CXX:-c++}
    echo "$("$cxx" -print-file-name=libasan.so):$("$cxx" -print-file-name=libubsan.so)"
}

PYTEST_ARGS=("$@")
PRELOAD=""
native
wheel_suite .venv-test "pandas>=3" "numpy>=2" "pyarrow" polars duckdb "keras>=3" "jax[cpu]" mypy scikit-learn matplotlib
stubs .venv-test "$root/build/wheel-suite"
suite .venv-test-pandas22 "pandas==2.2.*" "numpy==1.26.*" "pyarrow<26" polars duckdb

# The interpreter itself is not instrumented, so the sanitizer runtimes are
# preloaded; leak detection stays off because the interpreter keeps its
# objects alive at exit (leaks are tested by tests/hardening/test_leaks.py).
PRELOAD="env LD_PRELOAD=$(sanitizer_runtimes) \
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1"
suite .venv-test-sanitized "pandas>=3" "numpy>=2" \
    -C cmake.define.MOVRA_SANITIZE=ON -C cmake.build-type=RelWithDebInfo -C build-dir=build/sanitized
