"""Feature engineering on a synthetic year of daily meter readings.

Builds a readings table (one KWH reading per consumer and day, with missing
readings, zero days and occasional spikes) and two observation windows per
consumer of varied spans (some whole-year, most a stretch of one to nine
months, and the last 30, 60 or 90 days of that stretch), runs movra.fe4ts
over them and prints a summary: features per family, the windows' spans and
how a few features are distributed across consumers.  The whole feature
table is written to demo-output/features.csv (--out changes the folder) and
a picture to demo-output/demo.png: one consumer's readings with its windows,
and where they sit among every consumer's in a few features (the picture
needs matplotlib, which tools/demo.sh installs).  By default that is 10,000
consumers over one year; a few windows also go through the pandas path (the
same features, one library call at a time) for comparison.  At the end one
consumer's readings go through movra.tsdf2seq and movra.pad_seq.

    bash tools/demo.sh --consumers 10000 --days 365

(tools/demo.sh installs movra into .venv-demo and runs this script; after
that, `.venv-demo/bin/python examples/demo.py ...` runs it again directly.)
"""
import argparse
import os
import time

import numpy as np
import pandas as pd

import movra


def readings(consumers, days, seed):
    """One row per consumer and day: CONS_NO, DATA_DATE, DAY, WEEK, MONTH, WEEKDAY, KWH."""
    rng = np.random.default_rng(seed)
    dates = pd.date_range("2016-01-01", periods=days, freq="D")
    day = np.arange(days)
    season = 1.0 + 0.35 * np.cos(2 * np.pi * (day - 15) / 365.25)  # winter peak
    weekend = np.where(dates.day_of_week >= 5, 1.15, 1.0)

    base = rng.lognormal(mean=2.0, sigma=0.6, size=consumers)  # typical daily kWh
    kwh = base[:, None] * season[None, :] * weekend[None, :]
    kwh *= rng.gamma(shape=8.0, scale=1 / 8.0, size=kwh.shape)  # day-to-day noise

    # Vacancies: a run of zero days for about one consumer in ten.
    for c in np.flatnonzero(rng.random(consumers) < 0.1):
        start = rng.integers(0, days)
        kwh[c, start:start + rng.integers(3, 30)] = 0.0
    # Meter faults: scattered zero days, spikes and missing readings.
    kwh[rng.random(kwh.shape) < 0.005] = 0.0
    spikes = rng.random(kwh.shape) < 0.002
    kwh[spikes] *= rng.uniform(5, 20, size=spikes.sum())
    kwh[rng.random(kwh.shape) < 0.02] = np.nan
    kwh = np.round(kwh, 2)

    return pd.DataFrame({
        "CONS_NO": np.repeat(np.arange(100001, 100001 + consumers), days),
        "DATA_DATE": np.tile(dates, consumers),
        "DAY": np.tile(day, consumers),
        "WEEK": np.tile(day // 7, consumers),
        "MONTH": np.tile(dates.month.to_numpy(), consumers),
        "WEEKDAY": np.tile(dates.day_of_week.to_numpy(), consumers),
        "KWH": kwh.ravel(),
    })


def windows(consumers, days, seed):
    """Two windows per consumer, of varied spans.

    The first is the whole span of readings for about a quarter of the
    consumers and a stretch of 30 days to nine months for the others; the
    second is the last 30, 60 or 90 days of the first (FORWARD_T: the span
    that ends at END).  For the first window FORWARD_T covers it whole.
    """
    rng = np.random.default_rng(seed + 1)
    units = np.arange(100001, 100001 + consumers)
    longest = max(days - 1, 1)
    span = np.minimum(rng.integers(30, 275, size=consumers), longest)
    span = np.where(rng.random(consumers) < 0.25, longest, span)
    start = rng.integers(0, days - span)
    end = start + span
    recent = np.minimum(rng.choice([29, 59, 89], size=consumers), span)
    return pd.DataFrame({
        "CONS_NO": np.concatenate([units, units]),
        "START": np.concatenate([start, start]),
        "END": np.concatenate([end, end]),
        "FORWARD_T": np.concatenate([span, recent]),
    })


FAMILIES = ["period", "profile", "lag", "span", "unit", "derived"]
STATS = ["MAX", "MIN", "MEDIAN", "Q3", "Q1", "MEAN", "STD", "SKEW", "KURT", "NB_0", "NB_NA", "NB"]


def family(column, value, unit, tactic, periodic, derived):
    """Which block of fe4ts a column belongs to."""
    if column == unit:
        return "unit"
    if column in derived:
        return "derived"
    if column in (value + "_START", value + "_END"):
        return "span"
    if column.startswith(value + "_DIFF_"):
        return "lag"
    if any(column == f"{value}_{t}_{s}" for t in tactic for s in STATS):
        return "period"
    if any(column.startswith(f"{value}_{p}_") for p in periodic):
        return "profile"
    return "other"


def summary(ftrs, interval, value, unit, tactic, periodic):
    """A short, readable account of the feature table."""
    # Derived columns come after the unit column, the window records before.
    derived = set(ftrs.columns[list(ftrs.columns).index(unit) + 1:])
    kinds = pd.Series([family(c, value, unit, tactic, periodic, derived) for c in ftrs.columns])
    counts = kinds.value_counts().reindex(FAMILIES, fill_value=0)
    print(f"\nfeature table: {ftrs.shape[0]} rows (one per window) x {ftrs.shape[1]} columns")
    print("  columns per family: " + ", ".join(f"{k} {n}" for k, n in counts.items() if n))
    print(f"    period: {len(STATS)} per column of {tactic} (e.g. {value}_{tactic[0]}_MEAN)")
    print(f"    profile: 9 per value of {periodic} (e.g. {value}_{periodic[0]}_6_MEAN)")
    print(f"    lag: 13 per lag (e.g. {value}_DIFF_7_ACOR); derived: ratios, spreads and shares")

    asked = interval.END - interval.START + 1
    kept = ftrs[value + "_END"] - ftrs[value + "_START"] + 1
    first = np.arange(len(interval)) < len(interval) // 2
    print("\nwindow spans in days (min / median / max):")
    for name, spans in [("first windows, START to END", asked[first]),
                        ("second windows, last FORWARD_T days", kept[~first]),
                        ("readings kept per window", ftrs[value + "_" + tactic[0] + "_NB"])]:
        print(f"  {name:38s} {spans.min():6.0f} {spans.median():8.0f} {spans.max():6.0f}")

    shown = {
        value + "_DAY_MEAN": "mean daily kWh",
        value + "_DAY_CV": "day-to-day variation (std/mean)",
        value + "_DAY_NB_NA0/DAY_NB": "share of days missing or zero",
        value + "_WEEKDAY_6_MEAN": "mean kWh on Sundays",
        value + "_DIFF_7_ACOR": "correlation with a week earlier",
    }
    table = ftrs[list(shown)].astype(float).describe(percentiles=[0.1, 0.5, 0.9]).T
    table.index = [f"{c} ({what})" for c, what in shown.items()]
    print("\ndistribution across windows:")
    with pd.option_context("display.width", 160, "display.float_format", "{:.3f}".format):
        print(table[["min", "10%", "50%", "90%", "max"]].to_string())
    return shown


def picture(df, interval, ftrs, shown, path):
    """One consumer's readings with its two windows, and where those windows
    sit in the distributions of a few features across all consumers."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    half = len(interval) // 2
    first, second = interval.iloc[:half], interval.iloc[half:]
    consumer = example_consumer(df, first)
    mine = df[df.CONS_NO == consumer].set_index("DAY")
    rows = [int(np.flatnonzero(first.CONS_NO.to_numpy() == consumer)[0])]
    rows.append(rows[0] + half)
    colors = ["tab:blue", "tab:orange"]

    fig = plt.figure(figsize=(13, 7.5), layout="constrained")
    grid = fig.add_gridspec(2, len(shown), height_ratios=[1.15, 1])
    top = fig.add_subplot(grid[0, :])
    dates = mine.DATA_DATE
    top.plot(dates, mine.KWH, lw=0.6, color="0.55", label="daily KWH")
    top.plot(dates, mine.KWH.rolling(7, min_periods=1, center=True).mean(), lw=1.8, color="0.15",
             label="its 7-day mean")
    for n, (row, color) in enumerate(zip(rows, colors)):
        w = interval.iloc[row]
        start, end = max(w.START, w.END - w.FORWARD_T), w.END
        what = (f"window {n + 1}: days {start}-{end}" if n == 0 else
                f"window {n + 1}: the last FORWARD_T={w.FORWARD_T} days of window 1")
        # A bar for each window below the readings, and a light shade above.
        top.axvspan(dates.loc[start], dates.loc[end], ymin=0.09 - 0.06 * n, ymax=0.13 - 0.06 * n,
                    color=color, alpha=0.9, label=what)
        top.axvspan(dates.loc[start], dates.loc[end], ymin=0.16, color=color, alpha=0.08)
    high = mine.KWH.quantile(0.995) * 1.4
    ticks = top.get_yticks()
    top.set_ylim(-0.19 * high, high)
    top.set_yticks(ticks[(ticks >= 0) & (ticks <= high)])
    top.set(title=f"consumer {consumer}: a year of daily readings and the two windows fe4ts describes",
            ylabel="kWh per day")
    top.legend(loc="upper left", fontsize=9, ncols=2)

    for k, (column, what) in enumerate(shown.items()):
        ax = fig.add_subplot(grid[1, k])
        values = ftrs[column].astype(float).replace([np.inf, -np.inf], np.nan)
        low, high = values.quantile([0.005, 0.995])
        for part, color, name in [(slice(None, half), colors[0], "window 1"), (slice(half, None), colors[1], "window 2")]:
            ax.hist(values.iloc[part].dropna(), bins=40, range=(low, high) if high > low else None, color=color,
                    histtype="step", lw=1.4, label=f"all consumers' {name}")
        for row, color in zip(rows, colors):
            ax.axvline(values.iloc[row], color=color, ls="--", lw=1.5)
        ax.set_title(f"{what}\n{column}", fontsize=9)
        ax.tick_params(labelsize=8)
        if k == 0:
            ax.set_ylabel("windows")
            ax.legend(fontsize=7, loc="upper right")
    fig.suptitle("movra.fe4ts on synthetic readings (dashed: the consumer above)")
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return True


def example_consumer(df, first):
    """A consumer whose first window is a stretch, not the whole year, and
    whose readings have no spike that would dwarf the rest."""
    partial = first[first.END - first.START < first.END.max() - first.START.min()].CONS_NO
    peaks = df[df.CONS_NO.isin(partial.iloc[:200])].groupby("CONS_NO").KWH.agg(["max", "median"])
    calm = peaks.index[peaks["max"] < 2.5 * peaks["median"]]
    return calm[0] if len(calm) else first.CONS_NO.iloc[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--consumers", type=int, default=10000, help="number of consumers (default 10000)")
    parser.add_argument("--days", type=int, default=365, help="days of readings per consumer (default 365)")
    parser.add_argument("--compare", type=int, default=5,
                        help="windows also run on the pandas path, for comparison (default 5; 0: none)")
    parser.add_argument("--out", default="demo-output",
                        help="folder for features.csv and demo.png (default demo-output)")
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args()
    if args.days < 60:
        parser.error("--days must be at least 60")

    df = readings(args.consumers, args.days, args.seed)
    interval = windows(args.consumers, args.days, args.seed)
    print(f"readings: {df.shape[0]} rows ({args.consumers} consumers x {args.days} days), "
          f"{df.KWH.isna().sum()} missing, {(df.KWH == 0).sum()} zero")
    print(f"windows:  {len(interval)}, two per consumer")

    tactic, periodic, value, unit = ["DAY", "WEEK", "MONTH"], ["WEEKDAY"], "KWH", "CONS_NO"
    started = time.perf_counter()
    ftrs = movra.fe4ts(df, unit, tactic, periodic, [1, 7], value, interval)
    elapsed = time.perf_counter() - started
    print(f"fe4ts: {elapsed:.2f} s for {len(interval)} windows")

    shown = summary(ftrs, interval, value, unit, tactic, periodic)

    os.makedirs(args.out, exist_ok=True)
    table = os.path.join(args.out, "features.csv")
    ftrs.to_csv(table, index=False)
    print(f"\nthe whole feature table: {os.path.abspath(table)}")
    image = os.path.join(args.out, "demo.png")
    if picture(df, interval, ftrs, shown, image):
        print(f"picture: {os.path.abspath(image)}")
    else:
        print("(install matplotlib to also get a picture)")

    if args.compare > 0 and len(interval) > 0:
        # The same windows on the pandas path: an aggfunc the kernel does not
        # recognise sends fe4ts there.
        sample = interval.sample(n=min(args.compare, len(interval)), random_state=args.seed).reset_index(drop=True)
        started = time.perf_counter()
        slow = movra.fe4ts(df, unit, tactic, periodic, [1, 7], value, sample, aggfunc=lambda s: np.nansum(s))
        per_window = (time.perf_counter() - started) / len(sample)
        fast = movra.fe4ts(df, unit, tactic, periodic, [1, 7], value, sample)
        pd.testing.assert_frame_equal(fast, slow, check_exact=False, rtol=1e-9)
        print(f"\npandas path: {1000 * per_window:.1f} ms per window on {len(sample)} of the windows, same features "
              f"({per_window / (elapsed / len(interval)):.0f} x the kernel's time per window)")

    # One consumer's readings as a padded model input.
    one = df[df.CONS_NO == df.CONS_NO.iloc[0]][["DATA_DATE", "KWH"]]
    seq = movra.tsdf2seq(one, "DATA_DATE", "KWH", maxlen=400)
    padded = movra.pad_seq(seq, 400, "pre", 0)
    print(f"\nsequence of consumer {df.CONS_NO.iloc[0]}: {len(seq)} readings, padded to {len(padded)}")


if __name__ == "__main__":
    main()
