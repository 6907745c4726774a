"""Calls one movra function with hostile arguments drawn by hypothesis.

Run as a separate process by test_fuzz.py, so that a crash (a signal, an
abort) is seen as the death of this process rather than of the test run.
Every call must end in a result or in a Python exception."""
import os
import sys
import warnings

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

sys.path.insert(0, os.path.dirname(__file__))
import hostile  # noqa: E402

import movra  # noqa: E402

ARITY = {
    "gen_ngrams": (2, 3), "md5": (1, 1), "clean_topk": (1, 5), "evaluate4group": (1, 5),
    "unit_date": (1, 4), "tsdf2seq": (1, 7), "pad_seq": (1, 4), "Q3_Q1": (1, 1), "exp_w_sum": (1, 4),
    "searchfiles": (2, 2), "load_model": (1, 1), "is_done": (1, 1), "fe4ts": (7, 9),
    "datesStr2datesLst": (1, 2), "usest2uet": (5, 5), "uet2ute": (4, 4), "csv2json": (1, 3),
}


def main(name, examples, seed):
    fn = getattr(movra, name)
    low, high = ARITY[name]
    values = hostile.pool()
    # Keep is_done from sleeping on every existing path: the cwd is empty.
    settings_ = settings(max_examples=examples, database=None, deadline=None, derandomize=False,
                         suppress_health_check=list(HealthCheck))

    @settings_
    @given(st.integers(low, high).flatmap(lambda n: st.lists(st.sampled_from(range(len(values))), min_size=n, max_size=n)))
    def run(picks):
        args = [values[i] for i in picks]
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                fn(*args)
            except Exception:
                pass

    import random
    random.seed(seed)
    run()
    print("ok", name)


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]))
