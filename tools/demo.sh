#!/usr/bin/env bash
# Runs the main job on synthetic data: builds movra into a new virtual
# environment and runs examples/demo.py (extra arguments are passed on).
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}
"$python" -m venv .venv-demo
.venv-demo/bin/python -m pip install -q -U pip
.venv-demo/bin/python -m pip install -q .
.venv-demo/bin/python examples/demo.py "$@"
