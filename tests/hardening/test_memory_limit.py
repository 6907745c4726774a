"""fe4ts under an address-space limit: a call that needs more memory than
is left raises MemoryError, and the next call, a small one, works."""
import os
import subprocess
import sys
import textwrap

import pytest

# The child's allocator maps every block of 128 KiB or more on its own, in
# one arena, so freed memory is given back and the limit counts what the
# call needs, not what the allocator kept from earlier work.
ALLOCATOR = {"MALLOC_MMAP_THRESHOLD_": "131072", "MALLOC_ARENA_MAX": "1"}

CHILD = """
import resource, numpy, pandas, movra
from movra_tracebacks import traceback_names

def address_space():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

# 8 million readings in random order: ordering them takes copies of several
# hundred MB, far more than the limit leaves.
units, days = 8000, 1000
rng = numpy.random.default_rng(0)
order = rng.permutation(units * days)
df = pandas.DataFrame({"CONS_NO": order // days, "T": order % days, "W": order % days // 7, "D": order % 7,
                       "KWH": rng.random(units * days)})
del order
windows = pandas.DataFrame({"CONS_NO": numpy.arange(units), "START": 0, "END": days - 1})
args = ("CONS_NO", ["T", "W"], ["D"], [1, 7], "KWH")
small, small_windows = df.iloc[:200], windows.iloc[:5]
expected = movra.fe4ts(small, *args, small_windows)

resource.setrlimit(resource.RLIMIT_AS, (address_space() + (32 << 20), resource.RLIM_INFINITY))
try:
    movra.fe4ts(df, *args, windows)
except MemoryError as e:
    print("raised MemoryError", traceback_names(e)[:1])
else:
    print("no error")
pandas.testing.assert_frame_equal(movra.fe4ts(small, *args, small_windows), expected)
print("small call equal")
"""


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer reserves far more address space than any limit here")
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/status")
def test_memory_error_under_an_address_space_limit_then_a_call_works():
    tests = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    env = dict(os.environ, **ALLOCATOR, MOVRA_NUM_THREADS="2")
    env["PYTHONPATH"] = os.pathsep.join(p for p in (tests, env.get("PYTHONPATH")) if p)
    child = subprocess.run([sys.executable, "-c", textwrap.dedent(CHILD)], env=env, capture_output=True,
                           text=True, timeout=180)
    assert child.returncode == 0, child.stderr[-3000:]
    assert child.stdout.splitlines() == ["raised MemoryError ['movra.fe4ts']", "small call equal"], child.stderr[-3000:]
