#!/usr/bin/env bash
# Runs the whole job on synthetic data, readings to ranked suspects: builds
# movra into a new virtual environment with scikit-learn and matplotlib (the
# example's model and picture; movra needs neither) and runs
# examples/detect.py (extra arguments are passed on).
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}
"$python" -m venv .venv-detect
.venv-detect/bin/python -m pip install -q -U pip
.venv-detect/bin/python -m pip install -q . scikit-learn matplotlib
.venv-detect/bin/python examples/detect.py "$@"
