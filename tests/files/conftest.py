import os
import subprocess
import sys

import pytest
from movra_tracebacks import traceback_names

# Keras reads its backend once, at its first import: the light CPU one.
os.environ.setdefault("KERAS_BACKEND", "jax")


@pytest.fixture
def entries():
    """movra's traceback entries of an exception, innermost last."""
    return traceback_names


@pytest.fixture
def run_python():
    """Runs code in a fresh interpreter that sees the same movra build."""

    def run(code, *args, prefix=(), cwd=None):
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
        return subprocess.run([*prefix, sys.executable, "-c", code, *map(str, args)], env=env, cwd=cwd,
                              capture_output=True, text=True, timeout=300)

    return run
