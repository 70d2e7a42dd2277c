# numba peer (optional): tools/devenv run python3.14 -m pip install --break-system-packages --no-deps --target build/bench-site numba llvmlite
"""Benchmark of CyGroupedStreamStats against its peers, measured in one run.

Measures ns per element of add(ids, values) for n float64 values with int64 and int32 ids,
random over G = 16, 1000 and 10^6 groups and sorted (long runs of one id, G = 1000),
against: the naive C++ loop (bounds test, then the update step on aggs[gid] in memory),
the stream floor (one record in registers over the same values, no ids), pandas
groupby of the same seven statistics and a numba grouped Welford loop where numba is
importable. Also times merge of two G = 10^6 accumulators against a naive C++ merge loop,
and to_dict() / result_arrays() per group at G = 10^6. Figures are medians of repeated
runs with peers interleaved round by round (pandas runs fewer rounds); other load on the
machine still shows up as noise. Checks that vornel's records match the naive loop's bit
for bit in every group. Writes its tables into docs/benchmarks.md and its plot into
docs/img/grouped.png.

Run:  tools/devenv run env PYTHONPATH=build/site python3.14 bench/grouped.py [--quick]
"""

import argparse
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import _native as nat  # noqa: E402
import _report as rep  # noqa: E402
from vornel._cycore import CyGroupedStreamStats  # noqa: E402

NAIVE_RANDOM = 1.15  # random ids, G = 16 and 1000: vornel/naive at most
NAIVE_SPARSE = 0.8  # random ids, G = 10^6: vornel/naive at most
FLOOR_SORTED = 1.15  # sorted ids: vornel/stream floor at most
PANDAS_MIN = 10.0  # pandas/vornel at least
MERGE_TARGET = 1.2  # vornel merge / naive merge at most


def make_numba_grouped(numba):
    @numba.njit(error_model="numpy")
    def grouped(ids, vals, aggs, g):
        for i in range(vals.shape[0]):
            gid = ids[i]
            if gid < 0 or gid >= g:
                return i
            r = aggs[gid]
            x = vals[i]
            r.count += 1
            r.sum = r.sum + x
            if r.min > x:
                r.min = x
            if x > r.max:
                r.max = x
            delta = x - r.mean
            r.mean = r.mean + delta / r.count
            r.m2 = r.m2 + (x - r.mean) * delta
        return -1

    return grouped


def pandas_stats(series, ids):
    # pandas' fastest route: its groupby kernels on one groupby; var needs ddof=0, which
    # agg's name list cannot pass, and std is derived from var (a second pass would cost
    # about a fifth more).
    gb = series.groupby(ids)
    out = gb.agg(["count", "sum", "mean", "min", "max"])
    out["var"] = gb.var(ddof=0)
    out["std"] = np.sqrt(out["var"])
    return out


def naive_add(lib, ids, vals, recs):
    fn = lib.naive_grouped_i64 if ids.dtype == np.int64 else lib.naive_grouped_i32
    bad = fn(ids.ctypes.data, vals.ctypes.data, vals.shape[0], recs.ctypes.data, len(recs))
    assert bad == -1
    return recs


def vornel_add(acc, ids, vals):
    acc.add(ids, vals)
    return acc


def fmt(x, width=9, prec=2):
    return f"{'-':>{width}}" if x is None else f"{x:{width}.{prec}f}"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true",
                    help="n = 10^6, 3 repeats, 1 pandas run (smoke test)")
    ap.add_argument("--no-pandas", action="store_true", help="skip the pandas peer")
    ap.add_argument("--no-docs", action="store_true", help="print only, write nothing")
    args = ap.parse_args()

    n = 10**6 if args.quick else 10**7
    repeats = 3 if args.quick else 7
    pandas_repeats = 1 if args.quick else 3
    result_repeats = 1 if args.quick else 3

    lib = nat.load_grouped()
    floor = nat.load_stream_floors()
    numba, why = nat.import_numba()
    nb_grouped = make_numba_grouped(numba) if numba else None
    pd = None
    if not args.no_pandas:
        import pandas as pd

    rng = np.random.default_rng(2024)
    vals = rng.standard_normal(n) * 3.0 + 1.0
    cases = [
        ("random G=16", 16, rng.integers(0, 16, n)),
        ("random G=1000", 1000, rng.integers(0, 1000, n)),
        ("random G=10^6", 10**6, rng.integers(0, 10**6, n)),
        ("sorted G=1000", 1000, np.sort(rng.integers(0, 1000, n))),
    ]
    if nb_grouped:
        for dt in (np.int64, np.int32):  # compile both id types before timing
            nb_grouped(np.zeros(4, dt), vals[:4], nat.fresh_records(1), 1)

    print(f"vornel grouped benchmark: n = {n:,} float64 values, median of {repeats} runs "
          f"(pandas {pandas_repeats}), peers interleaved")
    print(f"numba: {'numba ' + numba.__version__ if numba else 'not available (' + why + ')'}"
          f"; pandas: {pd.__version__ if pd else 'skipped'}")
    print()
    print("add(ids, values), ns per element; floor = stream floor over the same values "
          "(faster of the -O2 builds with and without -fno-tree-slp-vectorize)")
    hdr = (f"{'case':<15}{'ids':>6}{'vornel':>8}{'naive':>8}{'floor':>8}{'numba':>8}"
           f"{'pandas':>9}{'v/naive':>9}{'v/floor':>9}{'numba/v':>9}{'pandas/v':>10}"
           f"{'bits':>6}")
    print(hdr)
    print("-" * len(hdr))
    targets = []
    checks = []
    table, notes, plot = [], [], {}
    merge_input = None
    for case, g, ids64 in cases:
        for ids in (ids64, ids64.astype(np.int32)):
            idn = str(ids.dtype)
            peers = {
                "vornel": (lambda g=g: CyGroupedStreamStats(g),
                           lambda acc, ids=ids: vornel_add(acc, ids, vals)),
                "naive": (lambda g=g: nat.fresh_records(g),
                          lambda r, ids=ids: naive_add(lib, ids, vals, r)),
                "slp": (nat.fresh_records, lambda r: nat.run_floor(floor["slp"], vals, r)),
                "noslp": (nat.fresh_records,
                          lambda r: nat.run_floor(floor["noslp"], vals, r)),
            }
            if nb_grouped:
                peers["numba"] = (lambda g=g: nat.fresh_records(g),
                                  lambda r, ids=ids, g=g: nb_grouped(ids, vals, r, g))
            t = nat.interleaved(peers, repeats)
            if pd:
                series = pd.Series(vals)
                t.update(nat.interleaved(
                    {"pandas": (lambda: None, lambda _, ids=ids: pandas_stats(series, ids))},
                    pandas_repeats))
            t["floor"] = min(t["slp"], t["noslp"])

            # Bit identity, per group, against the naive loop (and numba's records).
            acc = vornel_add(CyGroupedStreamStats(g), ids, vals)
            cols = acc.result_arrays()
            recs = naive_add(lib, ids, vals, nat.fresh_records(g))
            bad = nat.mismatched_groups(recs, cols)
            ok_bits = bad.size == 0
            checks.append((f"vornel vs naive, {case}, {idn} ids, {g:,} groups"
                           + ("" if ok_bits else f": {bad.size} groups differ, first {bad[0]}"),
                           ok_bits))
            if nb_grouped:
                nrecs = nat.fresh_records(g)
                nb_grouped(ids, vals, nrecs, g)
                ok_nb = bool((nrecs.view(np.int64) == recs.view(np.int64)).all())
                checks.append((f"numba vs naive, {case}, {idn} ids", ok_nb))
            if case.startswith("random G=10^6") and ids.dtype == np.int64:
                merge_input = (g, ids)
            del acc, cols

            r_naive = t["vornel"] / t["naive"]
            r_floor = t["vornel"] / t["floor"]
            r_numba = t["numba"] / t["vornel"] if nb_grouped else None
            r_pandas = t["pandas"] / t["vornel"] if pd else None
            print(f"{case:<15}{idn:>6}{t['vornel'] / n:8.2f}{t['naive'] / n:8.2f}"
                  f"{t['floor'] / n:8.2f}{fmt(t.get('numba', 0) / n if nb_grouped else None, 8)}"
                  f"{fmt(t.get('pandas', 0) / n if pd else None, 9, 1)}{r_naive:9.3f}"
                  f"{r_floor:9.3f}{fmt(r_numba, 9, 3)}{fmt(r_pandas, 10, 1)}"
                  f"{nat.mark(ok_bits):>6}")
            table.append([case, idn, f"{t['vornel'] / n:.2f}", f"{t['naive'] / n:.2f}",
                          f"{t['floor'] / n:.2f}",
                          fmt(t.get('numba', 0) / n if nb_grouped else None, 0).strip(),
                          fmt(t.get('pandas', 0) / n if pd else None, 0, 1).strip(),
                          f"{r_naive:.3f}", f"{r_floor:.3f}", nat.mark(ok_bits)])
            if idn == "int64":
                plot[case] = {"vornel": t["vornel"] / n, "naive C++": t["naive"] / n,
                              "stream floor": t["floor"] / n}
                if nb_grouped:
                    plot[case]["numba"] = t["numba"] / n
                if pd:
                    plot[case]["pandas"] = t["pandas"] / n

            label = f"{case}, {idn}"
            if case.startswith("sorted"):
                targets.append((label, "vornel/floor", r_floor, f"<= {FLOOR_SORTED}",
                                r_floor <= FLOOR_SORTED))
            elif g >= 10**6:
                targets.append((label, "vornel/naive", r_naive, f"<= {NAIVE_SPARSE}",
                                r_naive <= NAIVE_SPARSE))
            else:
                targets.append((label, "vornel/naive", r_naive, f"<= {NAIVE_RANDOM}",
                                r_naive <= NAIVE_RANDOM))
            if pd:
                targets.append((label, "pandas/vornel", r_pandas, f">= {PANDAS_MIN:g}",
                                r_pandas >= PANDAS_MIN))
            if nb_grouped:
                targets.append((label, "numba/vornel", r_numba, "> 1", r_numba > 1.0))
    print()

    # merge of two G = 10^6 accumulators, each from one half of the random G = 10^6 case.
    g, ids = merge_input
    half = n // 2
    va, vb = CyGroupedStreamStats(g), CyGroupedStreamStats(g)
    va.add(ids[:half], vals[:half])
    vb.add(ids[half:], vals[half:])
    na = naive_add(lib, ids[:half], vals[:half], nat.fresh_records(g))
    nb = naive_add(lib, ids[half:], vals[half:], nat.fresh_records(g))
    va.merge(vb)
    lib.naive_merge(na.ctypes.data, nb.ctypes.data, g)
    bad = nat.mismatched_groups(na, va.result_arrays())
    checks.append((f"merge, vornel vs naive, {g:,} groups", bad.size == 0))
    # Later rounds keep merging b into the same a: the work per group does not change.
    t = nat.interleaved({
        "vornel": (lambda: None, lambda _: va.merge(vb)),
        "naive": (lambda: None, lambda _: lib.naive_merge(na.ctypes.data, nb.ctypes.data, g)),
    }, 5 * repeats)  # a few ms a call: more rounds for a steady median
    r_merge = t["vornel"] / t["naive"]
    print(f"merge of two accumulators, {g:,} groups, median of {5 * repeats}: vornel {t['vornel'] / g:.2f} ns/group, "
          f"naive C++ {t['naive'] / g:.2f} ns/group, vornel/naive {r_merge:.3f}")
    targets.append((f"merge, {g:,} groups", "vornel/naive", r_merge, f"<= {MERGE_TARGET}",
                    r_merge <= MERGE_TARGET))
    notes.append(f"merge of two accumulators, {g:,} groups: vornel {t['vornel'] / g:.2f} "
                 f"ns/group, naive C++ {t['naive'] / g:.2f} ns/group")

    t = nat.interleaved({"to_dict": (lambda: None, lambda _: va.to_dict()),
                         "result_arrays": (lambda: None, lambda _: va.result_arrays())},
                        result_repeats)
    empty = int(np.count_nonzero(na["count"] == 0))
    print(f"results, {g:,} groups ({empty:,} empty), median of {result_repeats}: "
          f"to_dict() {t['to_dict'] / g:.1f} ns/group, "
          f"result_arrays() {t['result_arrays'] / g:.1f} ns/group")
    notes.append(f"results, {g:,} groups ({empty:,} empty): to_dict() "
                 f"{t['to_dict'] / g:.1f} ns/group, result_arrays() "
                 f"{t['result_arrays'] / g:.1f} ns/group")
    print()

    print("targets")
    for label, what, ratio, want, ok in targets:
        print(f"  {label:<24}{what:<15}{ratio:9.3f}  {want:<8} {nat.verdict(ok)}")
    print()
    print("bit-identical records per group (count, sum, mean, min, max, var, std):")
    for label, ok in checks:
        print(f"  {nat.mark(ok)} {label}")
    if not args.no_docs:
        write_docs(n, repeats, pandas_repeats, table, notes, targets, checks, plot)
    return 0


def write_docs(n, repeats, pandas_repeats, table, notes, targets, checks, plot):
    body = (f"add(ids, values) over n = {n:,} float64 values, ns per element, median of "
            f"{repeats} runs (pandas {pandas_repeats}), peers interleaved; floor = the stream "
            f"floor over the same values without ids.\n\n"
            + rep.md_table(["case", "ids", "vornel", "naive C++", "floor", "numba", "pandas",
                            "vornel/naive", "vornel/floor", "bits"], table)
            + "\n" + "".join(f"- {note}\n" for note in notes)
            + "\nTargets:\n\n"
            + rep.md_table(["case", "ratio", "value", "target", ""],
                           [[label, what, f"{ratio:.3f}", want, nat.verdict(ok)]
                            for label, what, ratio, want, ok in targets])
            + f"\nBit-identical records per group: {sum(ok for _, ok in checks)} of "
              f"{len(checks)} checks.\n")
    body += rep.bar_plot(plot, "grouped", f"CyGroupedStreamStats.add, int64 ids, n = {n:,}",
                         size=(7.2, 3.8), log=True)
    rep.write_section("grouped", "Groups: CyGroupedStreamStats", body)


if __name__ == "__main__":
    sys.exit(main())
