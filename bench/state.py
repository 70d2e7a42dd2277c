"""Benchmark of vornel.state: grouped results as NumPy arrays against pandas, and the cost of
moving state in and out of accumulators, measured in one run.

n float64 values with int64 ids, random over G groups (default 10^7 and 10^6):
- add + finalise(to_records(g)): the whole job with NumPy results;
- add + result_arrays(): the same with Python lists, beside it;
- summarise_grouped + finalise: records without an accumulator object;
- pandas groupby of the seven statistics (its fastest form, as in bench/grouped.py).
Also the round trip to_records + from_records and dumps + loads, in ns per group.
Figures are medians of repeated runs with peers interleaved round by round. Checks that
finalise gives the bits of result_arrays. Writes its table into docs/benchmarks.md.

Run:  tools/devenv run python bench/state.py [--quick] [--no-docs]
"""

import argparse
import os
import sys
import time

import numpy as np
import pandas as pd

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import _report as rep  # noqa: E402
from grouped import pandas_stats  # noqa: E402
from vornel import CyGroupedStreamStats, state  # noqa: E402

PANDAS_MIN = 10.0  # pandas / (add + finalise(to_records)) at least


def timed(fn):
    t0 = time.perf_counter()
    out = fn()
    return time.perf_counter() - t0, out


def contenders(ids, vals, g_count, series, id_series):
    def add():
        g = CyGroupedStreamStats(g_count)
        g.add(ids, vals)
        return g

    return {
        "add + finalise(to_records)": lambda: state.finalise(state.to_records(add())),
        "add + result_arrays": lambda: add().result_arrays(),
        "summarise_grouped + finalise": lambda: state.finalise(
            state.summarise_grouped(ids, vals, g_count)),
        "add alone": add,
        "pandas groupby().agg": lambda: pandas_stats(series, id_series),
    }


def check_bits(ids, vals, g_count):
    g = CyGroupedStreamStats(g_count)
    g.add(ids, vals)
    cols, lists = state.finalise(state.to_records(g)), g.result_arrays()
    for key in cols:
        want = np.asarray(lists[key], cols[key].dtype)
        same = (cols[key] == want) | (np.isnan(want) if want.dtype.kind == "f" else False)
        assert same.all(), key
    return g


def transfers(g, rounds):
    """ns per group of to_records + from_records, and of dumps + loads."""
    n = len(state.to_records(g))
    out = {}
    for name, fn in (("to_records + from_records", lambda: state.from_records(state.to_records(g))),
                     ("dumps + loads", lambda: state.loads(state.dumps(g)))):
        out[name] = np.median([timed(fn)[0] for _ in range(rounds)]) / n * 1e9
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="10^6 values, 10^5 groups, 3 rounds")
    ap.add_argument("--no-docs", action="store_true", help="print only, write nothing")
    args = ap.parse_args()
    n, g_count, rounds = (10**6, 10**5, 3) if args.quick else (10**7, 10**6, 7)
    rng = np.random.default_rng(42)
    ids = rng.integers(0, g_count, n)
    vals = rng.standard_normal(n)
    g = check_bits(ids, vals, g_count)
    series, id_series = pd.Series(vals), pd.Series(ids)
    runs = {name: [] for name in contenders(ids, vals, g_count, series, id_series)}
    for _ in range(rounds):
        for name, fn in contenders(ids, vals, g_count, series, id_series).items():
            runs[name].append(timed(fn)[0])
    med = {k: float(np.median(v)) for k, v in runs.items()}
    base = med["add + finalise(to_records)"]
    rows = [(k, f"{v * 1e3:.1f}", f"{v / n * 1e9:.2f}", f"{v / base:.2f}") for k, v in med.items()]
    ratio = med["pandas groupby().agg"] / base
    moves = transfers(g, rounds)
    table = rep.md_table(["contender", "ms", "ns per value", "relative"], rows)
    moved = rep.md_table(["round trip", "ns per group"], [(k, f"{v:.2f}") for k, v in moves.items()])
    verdict = (f"pandas / (add + finalise(to_records)): **{ratio:.1f} x** "
               f"(target at least {PANDAS_MIN:g} x: {'met' if ratio >= PANDAS_MIN else 'MISSED'}); "
               f"result_arrays costs {med['add + result_arrays'] / base:.2f} x the NumPy route.")
    body = (f"n = {n:,} values, G = {g_count:,} random int64 groups, pandas {pd.__version__}, "
            f"medians of {rounds} interleaved rounds. finalise gives the bits of result_arrays "
            f"(checked).\n\n{table}\n{verdict}\n\nAt G = {len(state.to_records(g)):,}:\n\n{moved}")
    print(body)
    if not args.no_docs:
        rep.write_section("state", "Records and NumPy results (vornel.state)", body)


if __name__ == "__main__":
    main()
