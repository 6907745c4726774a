#!/usr/bin/env bash
# Runs the test suite from a fresh checkout: builds movra into two new virtual
# environments and runs every test in each,
#   1. the newest pandas and numpy from PyPI, with Keras 3 on the JAX CPU backend;
#   2. pandas 2.2 with numpy 1.26, the oldest versions movra supports.
# Usage: bash tools/test.sh [extra pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
python=${PYTHON:-python3}

suite() {
    local venv=$1
    shift
    echo "=== $venv: installing $*"
    "$python" -m venv --clear "$venv"
    "$venv/bin/python" -m pip install -q -U pip
    "$venv/bin/python" -m pip install -q "$@" "$root[test]"
    "$venv/bin/python" -c "import numpy, pandas; print('numpy', numpy.__version__, 'pandas', pandas.__version__)"
    echo "=== $venv: running the tests"
    (cd "$root" && KERAS_BACKEND=jax "$venv/bin/python" -m pytest tests -p no:cacheprovider "${PYTEST_ARGS[@]}")
}

PYTEST_ARGS=("$@")
suite .venv-test "pandas>=3" "numpy>=2" "keras>=3" "jax[cpu]"
suite .venv-test-pandas22 "pandas==2.2.*" "numpy==1.26.*"
