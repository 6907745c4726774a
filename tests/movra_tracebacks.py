"""Reading the traceback entries that movra adds to an exception."""


def traceback_names(exc):
    """Names of movra's traceback entries, outermost first, without their
    source locations ("movra.fe4ts.fe", "init movra", ...).  Takes an
    exception or pytest's ExceptionInfo."""
    tb = exc.tb if hasattr(exc, "tb") else exc.__traceback__
    names = []
    while tb is not None:
        name = tb.tb_frame.f_code.co_name
        if name.startswith("movra.") or name.startswith("init movra"):
            names.append(name.split(" (")[0])
        tb = tb.tb_next
    return names
