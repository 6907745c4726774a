#!/usr/bin/env bash
# Builds what a user would `pip install` and tests exactly that:
#   1. an sdist, and a wheel built from that sdist (so the sdist is known to
#      hold everything a build needs), with `python -m build`;
#   2. the wheel repaired to a manylinux tag with auditwheel;
#   3. the metadata of both checked with `twine check`;
#   4. the repaired wheel installed into a fresh virtual environment and the
#      test suite (tests/ and the doctests of docs/ and the README) run
#      against it, from a scratch directory where nothing of the source tree
#      can be imported.
# The tools live in a throwaway environment; the results go to dist/.
# tools/test.sh runs the same steps for its newest-pandas suite.
# Usage: bash tools/wheel.sh [extra pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
python=${PYTHON:-python3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source tools/wheel-steps.sh

build_wheel "$root" "$work" "$root/dist"

echo "=== the wheel in a fresh environment"
"$python" -m venv "$work/user"
"$work/user/bin/python" -m pip install -q -U pip
"$work/user/bin/python" -m pip install -q "$repaired[test]"
suite_copy "$root" "$work/suite"
cd "$work/suite"
imported_from_venv "$work/user"
KERAS_BACKEND=jax "$work/user/bin/python" -m pytest tests -p no:cacheprovider "$@"

echo "=== done"
ls -l "$root/dist"
