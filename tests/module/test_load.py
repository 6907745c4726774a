"""Loading the module: failures leave one "init movra" traceback entry and no
half-built module behind."""
import subprocess
import sys
import textwrap


def run(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)


def test_import_without_tqdm_fails_with_the_init_entry():
    out = run(
        """
        import sys
        sys.modules["tqdm"] = None  # as if tqdm were not installed
        try:
            import movra
        except ImportError as e:
            tb = e.__traceback__
            while tb.tb_next is not None:
                tb = tb.tb_next
            print(tb.tb_frame.f_code.co_name.split(" (")[0])
            print("movra" in sys.modules)
        """
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["init", "movra", "False"]


def test_tqdm_without_its_class_is_an_import_error():
    out = run(
        """
        import sys, types
        sys.modules["tqdm"] = types.ModuleType("tqdm")
        try:
            import movra
        except ImportError as e:
            print(e)
        """
    )
    assert out.stdout.strip() == "cannot import name tqdm"


def test_a_failed_load_can_be_retried():
    out = run(
        """
        import sys
        sys.modules["tqdm"] = None
        try:
            import movra
        except ImportError:
            pass
        del sys.modules["tqdm"]
        import movra
        print(movra.pad_seq([1, 2], 4).tolist())
        """
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "[1, 2, -1, -1]"
