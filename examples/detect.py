"""Finding suspicious consumers, end to end, on synthetic meter readings.

What a utility's analyst does with movra, start to finish:

1. readings: consumers in transformer areas (TG_NO), two years of daily
   readings with a weekly and a seasonal shape, weather shared by the
   consumers of an area, and the honest oddities real meters show (vacant
   homes, households that grow or shrink, missing and zero readings).  A
   share of the consumers tamper with their meter from some day on, in one
   of the ways the electricity-theft literature describes: the meter records
   a constant fraction of the true use, a random fraction each day, nothing
   during intervals, the flattened mean, or the days in reverse order;
2. features: movra.fe4ts over three observation windows per consumer (the
   last 90 days, the same 90 days a year earlier, and everything before the
   last 90 days), side by side, with the changes between them and how those
   changes compare with the consumer's neighbours in the same area;
3. a model: scikit-learn's HistGradientBoostingClassifier, trained on the
   consumers of half of the areas and scoring those of the other half;
4. evaluation: movra.evaluate4group flags the top fraction k of every area's
   consumers by score, and reports the share of areas in which a flagged
   consumer is a thief and the share of all thieves flagged; the same
   figures for a random ranking show what chance alone gives.

The data are synthetic, so the figures show the pipeline working, not what a
model does on a utility's real readings.

    bash tools/detect.sh                      # 10,000 consumers
    bash tools/detect.sh --consumers 3000

(tools/detect.sh installs movra, scikit-learn and matplotlib into
.venv-detect and runs this script; after that,
`.venv-detect/bin/python examples/detect.py ...` runs it again directly.)
The functions up to `evaluate` are the job itself and import without
matplotlib; `picture` draws demo-output/detect.png from their results.
"""
import argparse
import os
import time

import numpy as np
import pandas as pd

import movra

KINDS = ("constant fraction", "random fraction", "zero intervals", "mean flattened", "days reversed")
FIRST_DAY = pd.Timestamp("2016-01-01")

# Observation windows, as (START, END) counted back from the last day: the
# last 90 days, the same 90 days a year earlier, and all before the last 90.
WINDOWS = {"recent": (89, 0), "year before": (365 + 89, 365), "history": (None, 90)}
TACTIC, PERIODIC, LAGS = ["DAY", "WEEK", "MONTH"], ["WEEKDAY"], [1, 7]

# Features compared between the last 90 days and the same days a year
# earlier: levels as log ratios, shapes and shares as differences.
LEVELS = ["KWH_DAY_MEAN", "KWH_DAY_MEDIAN", "KWH_DAY_STD", "KWH_DAY_Q1", "KWH_WEEK_MEAN", "KWH_WEEKDAY_6_MEAN"]
SHAPES = ["KWH_DAY_CV", "KWH_DAY_MIN/MAX", "KWH_DAY_NB_0/DAY_NB", "KWH_DIFF_1_ACOR", "KWH_DIFF_7_ACOR",
          "KWH_DAY_SKEW", "KWH_DIFF_1_CV", "KWH_WEEK_CV"]


# --- 1. readings -------------------------------------------------------------

def areas(consumers, rng):
    """TG_NO of every consumer: areas of 20 to about 200 consumers."""
    count = max(2, consumers // 90)
    sizes = 20 + rng.multinomial(consumers - 20 * count, rng.dirichlet(np.full(count, 3.0)))
    names = np.array([f"TG{a:04d}" for a in range(1, count + 1)])
    return rng.permutation(np.repeat(names, sizes))


def true_use(consumers, days, area, rng):
    """Daily kWh each consumer really uses: level x season and weather x weekday x noise."""
    day = np.arange(days)
    phase = np.cos(2 * np.pi * (day - 15) / 365.25)              # 1 in mid-January, -1 in mid-July
    winter, summer = np.clip(phase, 0, None), np.clip(-phase, 0, None)

    # Weather: a slowly wandering anomaly per area, shared by its consumers.
    codes, index = np.unique(area, return_inverse=True)
    shocks = rng.normal(0, 0.12, size=(len(codes), days))
    weather = np.zeros_like(shocks)
    for d in range(1, days):
        weather[:, d] = 0.85 * weather[:, d - 1] + shocks[:, d]
    weather = 1 + weather[index]

    level = rng.lognormal(np.log(7.0), 0.5, size=consumers)
    heating = rng.uniform(0.2, 1.8, size=consumers)[:, None] * winter
    cooling = rng.uniform(0.1, 1.1, size=consumers)[:, None] * summer
    kwh = level[:, None] * (1 + (heating + cooling) * weather)

    # Households use more at weekends; about one consumer in seven is a
    # small shop that uses less then, and little on Sundays.
    weekday = (FIRST_DAY + pd.to_timedelta(day, "D")).day_of_week.to_numpy()
    week = np.ones((consumers, 7))
    week[:, 5:] += rng.uniform(0.05, 0.35, size=(consumers, 1))
    shops = rng.random(consumers) < 0.15
    week[shops] = [1.1, 1.1, 1.1, 1.1, 1.1, 0.7, 0.3]
    kwh *= week[:, weekday]
    return kwh * rng.gamma(10.0, 1 / 10.0, size=kwh.shape)


def honest_oddities(kwh, rng):
    """Changes of honest consumers that look a little like tampering."""
    consumers, days = kwh.shape
    for c in np.flatnonzero(rng.random(consumers) < 0.12):     # someone moves in or out
        kwh[c, rng.integers(30, days):] *= rng.choice([rng.uniform(0.5, 0.8), rng.uniform(1.25, 1.7)])
    for c in np.flatnonzero(rng.random(consumers) < 0.08):     # a vacant home for a while
        start = rng.integers(0, days)
        kwh[c, start:start + rng.integers(5, 45)] = 0.0


def tamper(use, kind, rng):
    """What the meter records of `use`, the true daily use from the first day of theft on."""
    n = len(use)
    if kind == "constant fraction":
        return use * rng.uniform(0.25, 0.8)
    if kind == "random fraction":
        return use * rng.uniform(0.1, 0.9, size=n)
    if kind == "zero intervals":
        recorded, d, off = use.copy(), 0, True
        while d < n:
            run = rng.integers(2, 16) if off else rng.integers(3, 25)
            if off:
                recorded[d:d + run] = 0.0
            d, off = d + run, not off
        return recorded
    if kind == "mean flattened":
        return np.full(n, use.mean() * rng.uniform(0.5, 1.0))
    if kind == "days reversed":
        return use[::-1].copy()
    raise ValueError(f"unknown kind of tampering: {kind!r}")


def synthesize(consumers, days=730, theft_share=0.05, seed=0):
    """The readings table and a table of the consumers.

    readings: CONS_NO, DATA_DATE, DAY (days since the first), WEEK, MONTH
    (counted from the first), WEEKDAY, KWH, one row per consumer and day.
    people: CONS_NO, TG_NO, label (1 for a thief), KIND (the kind of
    tampering, "" for honest consumers) and THEFT_FROM (the first day of
    tampering, -1 for honest consumers), one row per consumer.
    """
    if days < 400:
        raise ValueError("need at least 400 days: the windows compare with a year earlier")
    rng = np.random.default_rng(seed)
    area = areas(consumers, rng)
    kwh = true_use(consumers, days, area, rng)
    honest_oddities(kwh, rng)

    thief = rng.random(consumers) < theft_share
    kind = np.where(thief, rng.choice(np.array(KINDS), size=consumers), "")
    start = np.where(thief, rng.integers(365, days - 30, size=consumers), -1)
    for c in np.flatnonzero(thief):
        kwh[c, start[c]:] = tamper(kwh[c, start[c]:], kind[c], rng)

    # Meter faults, honest or not: missing and zero readings.
    kwh[rng.random(kwh.shape) < 0.015] = np.nan
    kwh[rng.random(kwh.shape) < 0.003] = 0.0
    kwh = np.round(kwh, 2)

    cons_no = np.arange(100001, 100001 + consumers)
    dates = FIRST_DAY + pd.to_timedelta(np.arange(days), "D")
    day = np.arange(days)
    readings = pd.DataFrame({
        "CONS_NO": np.repeat(cons_no, days),
        "DATA_DATE": np.tile(dates, consumers),
        "DAY": np.tile(day, consumers),
        "WEEK": np.tile(day // 7, consumers),
        "MONTH": np.tile(((dates.year - FIRST_DAY.year) * 12 + dates.month - 1).to_numpy(), consumers),
        "WEEKDAY": np.tile(dates.day_of_week.to_numpy(), consumers),
        "KWH": kwh.ravel(),
    })
    people = pd.DataFrame({"CONS_NO": cons_no, "TG_NO": area, "label": thief.astype(int),
                           "KIND": kind, "THEFT_FROM": start})
    return readings, people


# --- 2. features -------------------------------------------------------------

def observation_windows(cons_no, last_day):
    """Every consumer's windows, one block of rows per window in WINDOWS order."""
    blocks = []
    for start, end in WINDOWS.values():
        blocks.append(pd.DataFrame({
            "CONS_NO": cons_no,
            "START": 0 if start is None else last_day - start,
            "END": last_day - end,
        }))
    return pd.concat(blocks, ignore_index=True)


def features(readings, people):
    """One row of features per consumer of `people`, in its order."""
    last_day = int(readings.DAY.max())
    interval = observation_windows(people.CONS_NO.to_numpy(), last_day)
    ftrs = movra.fe4ts(readings, "CONS_NO", TACTIC, PERIODIC, LAGS, "KWH", interval)

    # fe4ts returns one row per window, in the windows' order: one block per
    # window, each in the order of `people`.
    n = len(people)
    blocks = [ftrs.iloc[i * n:(i + 1) * n].drop(columns="CONS_NO").reset_index(drop=True).add_prefix(name + ":")
              for i, name in enumerate(WINDOWS)]
    table = pd.concat(blocks, axis=1).astype(float)

    # The change against the same season a year earlier, and that change
    # against the median of the area: weather and the season move every
    # consumer of an area alike, tampering moves one.
    change = {}
    with np.errstate(divide="ignore", invalid="ignore"):
        for column in LEVELS:
            change["log change:" + column] = np.log(table["recent:" + column] / table["year before:" + column])
        for column in SHAPES:
            change["change:" + column] = table["recent:" + column] - table["year before:" + column]
    change = pd.DataFrame(change).replace([np.inf, -np.inf], np.nan)
    area = change.groupby(people.TG_NO.to_numpy()).transform("median")
    table = pd.concat([table, change, (change - area).add_prefix("vs area ")], axis=1)
    table = table.replace([np.inf, -np.inf], np.nan)
    # Columns that are the same for every consumer (a count of missing
    # periods under nansum, say) tell a model nothing.
    return table.loc[:, table.nunique() > 1]


# --- 3. a model --------------------------------------------------------------

def split_areas(people, seed=0):
    """A boolean mask of the consumers whose areas train the model: half of the areas."""
    names = people.TG_NO.unique()
    chosen = np.random.default_rng(seed).permutation(names)[: len(names) // 2]
    return people.TG_NO.isin(chosen).to_numpy()


def train(table, labels, seed=0):
    """A gradient-boosted tree classifier fitted on the feature table."""
    from sklearn.ensemble import HistGradientBoostingClassifier

    model = HistGradientBoostingClassifier(max_iter=100, learning_rate=0.1, max_leaf_nodes=15,
                                           l2_regularization=1.0, random_state=seed)
    return model.fit(table, labels)


def score(model, table, people):
    """`people` with the model's probability of theft in the column `predict`."""
    return people.assign(predict=model.predict_proba(table)[:, 1])


# --- 4. evaluation -----------------------------------------------------------

def evaluate(scored, ks, draws=20, seed=0):
    """movra.evaluate4group's group and individual hit rates at every k, for
    the model's ranking and for random rankings (the mean of `draws`)."""
    rng = np.random.default_rng(seed)
    shuffled = [scored.assign(predict=rng.random(len(scored))) for _ in range(draws)]
    rows = []
    for k in ks:
        groups, individuals = movra.evaluate4group(scored, "TG_NO", "predict", "label", k)
        chance = np.mean([movra.evaluate4group(s, "TG_NO", "predict", "label", k) for s in shuffled], axis=0)
        rows.append((k, groups, individuals, chance[0], chance[1]))
    return pd.DataFrame(rows, columns=["k", "groups", "individuals", "random groups", "random individuals"])


def caught_by_kind(scored, k):
    """The share of each kind's thieves that are flagged at k.

    evaluate4group's individual rate counts the flagged rows whose label is
    1; with a label that marks one kind of thief, it is that kind's share.
    """
    shares = {}
    for kind in KINDS:
        labels = scored.assign(label=(scored.KIND == kind).astype(int))
        if labels.label.any():
            shares[kind] = movra.evaluate4group(labels, "TG_NO", "predict", "label", k)[1]
    return pd.Series(shares, name="caught")


# --- the picture -------------------------------------------------------------

def picture(readings, scored, curve, kinds, k, path):
    """A caught thief's readings beside an honest neighbour's, and the hit rates."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    # The top-scored thief, and the honest consumer of its area whose readings
    # before the tampering began were closest to the thief's in level.
    thief = scored[scored.label == 1].sort_values("predict", ascending=False).iloc[0]
    honest = scored[(scored.TG_NO == thief.TG_NO) & (scored.label == 0)].CONS_NO
    before = readings[readings.CONS_NO.isin(honest) & (readings.DAY < thief.THEFT_FROM)].groupby("CONS_NO").KWH.mean()
    level = readings[(readings.CONS_NO == thief.CONS_NO) & (readings.DAY < thief.THEFT_FROM)].KWH.mean()
    neighbour = scored.set_index("CONS_NO").loc[(before - level).abs().idxmin()]
    neighbour["CONS_NO"] = neighbour.name

    fig = plt.figure(figsize=(12, 8), layout="constrained")
    grid = fig.add_gridspec(2, 2)
    top = fig.add_subplot(grid[0, :])
    for who, color, role in [(thief, "tab:red", "thief"), (neighbour, "tab:blue", "honest neighbour")]:
        mine = readings[readings.CONS_NO == who.CONS_NO].set_index("DATA_DATE").KWH
        top.plot(mine.index, mine, lw=0.5, color=color, alpha=0.35)
        top.plot(mine.index, mine.rolling(7, min_periods=1).mean(), lw=1.4, color=color,
                 label=f"{role} {who.CONS_NO} (7-day mean), score {who.predict:.2f}")
    began = FIRST_DAY + pd.Timedelta(days=int(thief.THEFT_FROM))
    top.axvline(began, color="tab:red", ls="--", lw=1, label=f"the thief's tampering begins: {thief.KIND}")
    last = readings.DATA_DATE.max()
    for (start, end), name, shade in [(WINDOWS["recent"], "the last 90 days", "0.8"),
                                      (WINDOWS["year before"], "the same days a year earlier", "0.9")]:
        top.axvspan(last - pd.Timedelta(days=start), last - pd.Timedelta(days=end), color=shade, zorder=0,
                    label=f"window: {name}")
    top.set(title=f"area {thief.TG_NO}: the top-scored thief and an honest neighbour", ylabel="kWh per day")
    top.set_ylim(0, top.get_ylim()[1] * 1.25)         # room for the legend
    top.legend(loc="upper left", fontsize=9, ncols=3)

    rates = fig.add_subplot(grid[1, 0])
    for column, color in [("individuals", "tab:green"), ("groups", "tab:purple")]:
        rates.plot(curve.k, curve[column], color=color, lw=2, label=f"model: {column}")
        rates.plot(curve.k, curve["random " + column], color=color, lw=1.2, ls="--", label=f"random: {column}")
    rates.axvline(k, color="0.5", lw=0.8)
    rates.set(title="movra.evaluate4group on the held-out areas", xlabel="k, the share flagged in each area",
              ylabel="hit rate", ylim=(0, 1.22), yticks=np.linspace(0, 1, 6))
    rates.legend(fontsize=9, ncols=2, loc="upper center")

    bars = fig.add_subplot(grid[1, 1])
    shown = bars.barh(kinds.index[::-1], kinds.to_numpy()[::-1], color="tab:green")
    bars.bar_label(shown, fmt="%.2f", padding=3)
    chance = curve.loc[np.isclose(curve.k, k), "random individuals"].iloc[0]
    bars.axvline(chance, color="tab:green", ls="--", lw=1.2, label="random ranking")
    bars.set(title=f"thieves flagged at k={k}, by kind of tampering", xlabel="share flagged", xlim=(0, 1))
    bars.legend(fontsize=9)
    fig.suptitle("Synthetic readings: the pipeline at work, not a field result")
    fig.savefig(path, dpi=100)
    plt.close(fig)


# --- the script --------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--consumers", type=int, default=10000, help="number of consumers (default 10000)")
    parser.add_argument("--theft-share", type=float, default=0.05, help="share of thieves (default 0.05)")
    parser.add_argument("--out", default="demo-output", help="folder for detect.png (default demo-output)")
    parser.add_argument("--seed", type=int, default=1,
                        help="seed of the data, the split of the areas and the model (default 1)")
    args = parser.parse_args()
    if args.consumers < 400:
        parser.error("--consumers must be at least 400")
    if not 0 < args.theft_share < 0.5:
        parser.error("--theft-share must be between 0 and 0.5")

    times = {}

    def timed(step, f, *a):
        started = time.perf_counter()
        result = f(*a)
        times[step] = time.perf_counter() - started
        print(f"{step:9s} {times[step]:6.2f} s")
        return result

    readings, people = timed("readings", synthesize, args.consumers, 730, args.theft_share, args.seed)
    table = timed("features", features, readings, people)
    fit = split_areas(people, args.seed)
    model = timed("training", train, table[fit], people.label[fit], args.seed)
    scored = timed("scoring", score, model, table[~fit], people[~fit])
    ks = np.round(np.arange(0.01, 0.301, 0.01), 2)
    curve = timed("hit rates", evaluate, scored, ks)

    held_out = scored.label.sum()
    print(f"\n{len(people)} consumers in {people.TG_NO.nunique()} areas, {len(readings)} readings; "
          f"{people.label.sum()} thieves ({', '.join(f'{(people.KIND == k).sum()} {k}' for k in KINDS)})")
    print(f"features: {table.shape[1]} per consumer ({len(WINDOWS)} windows of movra.fe4ts, changes between them "
          f"and against the area)")
    print(f"model trained on {fit.sum()} consumers of {people.TG_NO[fit].nunique()} areas, "
          f"scored {len(scored)} consumers ({held_out} thieves) of {scored.TG_NO.nunique()} others")
    print("\nhit rates (groups: areas whose flagged consumers hold a thief, of those with one;"
          "\n           individuals: thieves flagged, of all thieves):")
    shown = curve[curve.k.isin([0.01, 0.02, 0.05, 0.1, 0.2])].set_index("k")
    print(shown.to_string(float_format="{:.3f}".format))
    k = 0.05
    kinds = caught_by_kind(scored, k)
    print(f"\nthieves flagged at k={k}, by kind: " + ", ".join(f"{kind} {share:.2f}" for kind, share in kinds.items()))

    os.makedirs(args.out, exist_ok=True)
    image = os.path.join(args.out, "detect.png")
    try:
        timed("picture", picture, readings, scored, curve, kinds, k, image)
        print(f"picture: {os.path.abspath(image)}")
    except ImportError:
        print("(install matplotlib to also get a picture)")
    print(f"total     {sum(times.values()):6.2f} s  (data are synthetic: the figures show the pipeline working)\n")

    at = shown.loc[k]
    print(f"hits at k={k}: groups {at['groups']:.3f}, individuals {at['individuals']:.3f}; "
          f"random ranking: groups {at['random groups']:.3f}, individuals {at['random individuals']:.3f}")


if __name__ == "__main__":
    main()
