import os
import subprocess
import sys
import traceback

import pytest

# Keras reads its backend once, at its first import: the light CPU one.
os.environ.setdefault("KERAS_BACKEND", "jax")


def entry_names(exc):
    """movra traceback entries of an exception, innermost last."""
    names = [f.f_code.co_name for f, _ in traceback.walk_tb(exc.__traceback__)]
    return [n.split(" (")[0] for n in names if n.startswith("movra.")]


@pytest.fixture
def entries():
    return entry_names


@pytest.fixture
def run_python():
    """Runs code in a fresh interpreter that sees the same movra build."""

    def run(code, *args, prefix=(), cwd=None):
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
        return subprocess.run([*prefix, sys.executable, "-c", code, *map(str, args)], env=env, cwd=cwd,
                              capture_output=True, text=True, timeout=300)

    return run
