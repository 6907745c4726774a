#!/usr/bin/env bash
# Runs the main job on synthetic data: builds movra into a new virtual
# environment with matplotlib (for the demo's picture; movra does not need
# it) and runs examples/demo.py (extra arguments are passed on).
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}
"$python" -m venv .venv-demo
.venv-demo/bin/python -m pip install -q -U pip
.venv-demo/bin/python -m pip install -q . matplotlib
.venv-demo/bin/python examples/demo.py "$@"
