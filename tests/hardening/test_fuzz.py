"""Hostile-input fuzzing of every function: each batch runs in its own
process so that a crash shows up as a failed batch, not a dead test run."""
import os
import subprocess
import sys

import pytest

from fuzz_worker import ARITY

STRUCTURED = ["fe4ts+", "usest2uet+", "uet2ute+", "unit_date+", "tsdf2seq+", "evaluate4group+"]

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = int(os.environ.get("MOVRA_FUZZ_EXAMPLES", "150"))


@pytest.mark.parametrize("name", sorted(ARITY) + STRUCTURED)
def test_hostile_arguments_end_in_a_result_or_an_exception(name, tmp_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [HERE, os.environ.get("PYTHONPATH")])))
    proc = subprocess.run(
        [sys.executable, os.path.join(HERE, "fuzz_worker.py"), name, str(EXAMPLES)],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600,
    )
    assert proc.returncode == 0, f"{name}: exit {proc.returncode}\n{proc.stdout[-2000:]}\n{proc.stderr[-4000:]}"
    assert proc.stdout.strip().endswith("ok " + name)
