"""Benchmark of the quantile sketches against their peers and floors, measured in one run.

Sections, each run by name (--sections); the first four make the docs section "sketch",
the last three the section "sketch-peers", each written only by a run of all its sections:

- single: QuantileSketch.add over n standard normal float64 values against
  CyStreamStats.add_values over the same array, and two native floors built here from the
  project's own sketchmap.hpp (bucket index, then one count in a preallocated array per
  sign; the second also keeps min and max). ns per value; target sketch <= 0.5 x moments.
- grouped: GroupedQuantileSketch.add at G = 1000 (n values, random int32 ids) against
  CyGroupedStreamStats.add and the grouped floors (bounds test, index, one count in
  per-group dense arrays sized to the data's index span; the second also keeps each
  group's count and extremes). Target sketch <= 3 x grouped moments.
- accuracy: the largest relative error |v - x_q| / |x_q| over nine q (x_q exact, NumPy's
  method="lower") on seven data sets, for vornel at relative_accuracy=0.01 (checked
  <= 0.01), ddsketch.DDSketch(relative_accuracy=0.01) (an independent implementation of
  the same method), DuckDB's approx_quantile and fastdigest (t-digests). Where x_q = 0
  the relative error is undefined: those q report the absolute error apart. vornel is also
  checked on an even grid of 10,001 q. Also the time to build each summary and answer the
  nine q, per value.
- memory: bytes per group of GroupedQuantileSketch at 10^6 groups with about 10 values
  each: RSS growth of a fresh process across one add or ten (allocator included), its
  peak, and nbytes, against 192 B (4 x the 48-byte moments record); the same at 10^5
  groups, and CyGroupedStreamStats measured the same way beside it.
- describe: vornel.describe(df, by="station", quantiles=[0.25, 0.5, 0.75]).to_pandas() on
  a pandas DataFrame of 10^7 rows (bench/describe.py's temperature column, 1,000
  stations, keyed by int64 numbers and by a categorical) against pandas' groupby quantile
  plus agg of count, sum, mean, min, max, var, std; Polars' exact group_by quantile and the
  same seven beside it. Wall time; target pandas >= 3 x vornel.
- cli: whole processes on bench/describe.py's telemetry CSV (10^7 rows, 1,000 stations):
  `python -m vornel describe FILE -g station -q 0.25,0.5,0.75 -f csv` against the same
  without -q (target at most 1.25 x), DuckDB's approx_quantile and Polars' exact quantile
  with the same seven statistics (and both without quantiles) beside it; peak RSS.
- dask: 10^7 lognormal values in 3, 8 and 17 chunks on LocalClusters of 2 and 1 worker
  processes: vornel.dask.quantiles is the same bit for bit on all six, dask's
  da.percentile and dask DataFrame quantile move with the chunking; both timed.
Each checks its quantiles against the exact ones (np.quantile, method="lower"): vornel's
within relative_accuracy, Polars' equal.

Timed figures of the first four sections are CPU time of the process (all threads, user and system: a contender waiting
for a core shared with other load is not charged for the wait; the add sections also show
the wall-time ratio), medians of repeated rounds; each round runs every contender once, in
an order rotated by round, and ratios are the median of the ratios within a round (with
their quartiles), so that a burst of other load moves both sides of a ratio. Every call runs
on one thread (DuckDB is set to one). Other load still shows up as noise through the caches.
Peers that do not import are skipped and named in the tables. The last three sections
compare wall time (their peers use every CPU), in rounds rotated the same way. Writes its
tables into docs/benchmarks.md and its plots into docs/img/sketch.png,
docs/img/sketch-accuracy.png and docs/img/sketch-peers.png.

Peers (not in the root): inside it, SSL_CERT_FILE=/etc/ssl/certs/host-ca.crt python3.14 -m
pip install --no-deps --target build/bench-peers ddsketch==3.0.1 six==1.17.0 fastdigest==0.12.0

Run:  tools/devenv run env PYTHONPATH=build/site:build/bench-peers python3.14 bench/sketch.py
      [--quick] [--sections single,grouped,accuracy,memory,describe,cli,dask] [--n N]
      [--repeats R] [--table-repeats R] [--cli-rounds R] [--dask-repeats R] [--no-docs]
"""

import argparse
import gc
import importlib
import importlib.metadata
import json
import logging
import math
import os
import subprocess
import sys
import time
from dataclasses import dataclass, field

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import _native as nat  # noqa: E402
import _report as rep  # noqa: E402
import describe as dsc  # noqa: E402  (the telemetry data and whole-process runs)
import vornel  # noqa: E402
from vornel._cycore import CyGroupedStreamStats, CyStreamStats  # noqa: E402

ALPHA = 0.01
SINGLE_TARGET = 0.5  # sketch add / CyStreamStats.add_values, at most
GROUPED_TARGET = 3.0  # grouped sketch add / CyGroupedStreamStats.add, at most
BYTES_TARGET = 192  # bytes per group at 10^6 groups, at most (4 x the 48-byte record)
QS = (0.001, 0.01, 0.1, 0.25, 0.5, 0.75, 0.9, 0.99, 0.999)
GRID = 10_001  # q on an even grid over [0, 1], for vornel's own check


@dataclass
class Part:
    """What one section hands to the report: its console text is printed as it runs."""
    title: str
    md: str
    targets: list = field(default_factory=list)  # (case, what, value, want, ok)
    checks: list = field(default_factory=list)  # (label, ok)
    speed: dict = field(default_factory=dict)  # case -> {contender: ns per value}
    errors: dict = field(default_factory=dict)  # data set -> {contender: max relative error}
    notes: list = field(default_factory=list)
    plots: dict = field(default_factory=dict)  # panel -> what its plot needs


def optional(name):
    """A peer module, or None and the reason it is skipped."""
    try:
        return importlib.import_module(name), None
    except Exception as e:  # a broken install is a skipped peer, not a failed run
        return None, f"{type(e).__name__}: {e}"


def version(mod):
    return getattr(mod, "__version__", None) or importlib.metadata.version(mod.__name__)


def peers():
    """{name: (module or None, why)} for the optional peers."""
    return {name: optional(name) for name in ("ddsketch", "fastdigest", "duckdb")}


# --------------------------------------------------------------------------- timing


def timed_rounds(contenders, repeats):
    """CPU and wall times in ns of every contender in every round: two dicts {name: array of
    `repeats`}.

    contenders maps a name to (setup, run) as nat.interleaved takes them; each round runs
    every contender once, in an order rotated by round, so that load from others and the
    position in the round fall on all alike. CPU time is the process's (every thread, user
    and system): on a shared machine it leaves out the time a contender waits for the core,
    which wall time counts. The cyclic collector is off while timed."""
    names = list(contenders)
    cpu = {name: np.zeros(repeats) for name in names}
    wall = {name: np.zeros(repeats) for name in names}
    was_enabled = gc.isenabled()
    try:
        for r in range(repeats):
            for name in names[r % len(names):] + names[:r % len(names)]:
                setup, run = contenders[name]
                arg = setup()
                gc.collect()
                gc.disable()
                c0, t0 = time.process_time_ns(), time.perf_counter_ns()
                out = run(arg)
                t1, c1 = time.perf_counter_ns(), time.process_time_ns()
                if was_enabled:
                    gc.enable()
                del out
                cpu[name][r], wall[name][r] = c1 - c0, t1 - t0
    finally:
        if was_enabled:
            gc.enable()
    return cpu, wall


def paired(times, a, b):
    """a's time over b's, round by round: (median, lower quartile, upper quartile). Rounds
    pair figures taken moments apart, so a burst of load moves both."""
    r = times[a] / times[b]
    return float(np.median(r)), float(np.quantile(r, 0.25)), float(np.quantile(r, 0.75))


def quiet(times, a, b, ref):
    """a's time over b's, median over the rounds where ref (a floor, doing the same kind of
    work as a) ran at or below its median time: the machine's quieter half, by a yardstick
    measured in the same rounds."""
    calm = times[ref] <= np.median(times[ref])
    return float(np.median(times[a][calm] / times[b][calm]))


def fmt_ratio(p):
    return f"{p[0]:.3f} [{p[1]:.3f}, {p[2]:.3f}]"


# --------------------------------------------------------------------------- single


def touched(n):
    """n zero counts already in memory: a floor's page faults are not the loop's cost."""
    c = np.empty(n, np.uint64)
    c.fill(0)
    return c


def sketch_add(a):
    s = vornel.QuantileSketch(ALPHA)
    s.add(a)
    return s


def moments_add(a):
    s = CyStreamStats()
    s.add_values(a)
    return s


def single(args, ctx):
    lib, k = ctx["floors"], ctx["k"]
    n, repeats = args.n, args.repeats
    a = np.random.default_rng(12345).standard_normal(n)
    top = 2046 * k  # every index of a normal double

    def fresh_counts():
        return touched(top), touched(top)

    def floor(c):
        return lib.sketch_floor(a.ctypes.data, n, k, c[0].ctypes.data, c[1].ctypes.data)

    def fresh_ext():
        return (*fresh_counts(), np.array([math.inf, -math.inf]))

    def floor_ext(c):
        return lib.sketch_floor_ext(a.ctypes.data, n, k, c[0].ctypes.data, c[1].ctypes.data,
                                    c[2].ctypes.data)

    t, wall = timed_rounds({
        "sketch": (lambda: None, lambda _: sketch_add(a)),
        "moments": (lambda: None, lambda _: moments_add(a)),
        "floor": (fresh_counts, floor),
        "floor+ext": (fresh_ext, floor_ext),
    }, repeats)
    per = {name: float(np.median(v)) / n for name, v in t.items()}
    pr = paired(t, "sketch", "moments")
    ratio = pr[0]
    pw = paired(wall, "sketch", "moments")
    pq = quiet(t, "sketch", "moments", "floor+ext")

    c = fresh_ext()
    apart = floor_ext(c)
    s = sketch_add(a)
    ok = (int(c[0].sum() + c[1].sum()) + apart == n and s.count == n
          and (c[2][0], c[2][1]) == (s.min, s.max))
    checks = [(f"floor counts and extremes match the sketch's count, min and max (n = {n:,})",
               ok)]

    print(f"single add: n = {n:,} standard normal float64, ns of CPU per value, median of "
          f"{repeats} rounds, contenders interleaved, k = {k}")
    hdr = (f"{'sketch':>9}{'moments':>9}{'floor':>9}{'floor+ext':>11}{'sketch/moments [IQR]':>28}"
           f"{'target':>9}{'':>8}{'(wall)':>8}{'(quiet)':>9}{'sketch/floor':>14}"
           f"{'sketch/floor+ext':>18}")
    print(hdr)
    print("-" * len(hdr))
    print(f"{per['sketch']:9.2f}{per['moments']:9.2f}{per['floor']:9.2f}{per['floor+ext']:11.2f}"
          f"{fmt_ratio(pr):>28}{'<= ' + str(SINGLE_TARGET):>9}"
          f"{nat.verdict(ratio <= SINGLE_TARGET):>8}{pw[0]:8.3f}{pq:9.3f}"
          f"{paired(t, 'sketch', 'floor')[0]:14.3f}{paired(t, 'sketch', 'floor+ext')[0]:18.3f}")
    print()
    md = (f"QuantileSketch.add (relative_accuracy={ALPHA}, k = {k} buckets per octave) over "
          f"n = {n:,} standard normal float64 values against CyStreamStats.add_values over the "
          f"same array; ns of CPU time per value, median of {repeats} rounds, contenders "
          f"interleaved in an order rotated by round, one thread each; ratios are medians of "
          f"the ratios within a round, [lower, upper quartile], and (wall) the same by wall "
          f"time; (quiet) the median ratio over the rounds where floor+ext ran at or below "
          f"its median time (the quieter half of the run). floor = a C++ loop built here that "
          f"includes sketchmap.hpp: bucket "
          f"index, then one count in a preallocated array per sign (covering every index); "
          f"floor+ext also keeps min and max.\n\n"
          + rep.md_table(["sketch", "moments", "floor", "floor+ext", "sketch/moments",
                          "target", "", "(wall)", "(quiet)", "sketch/floor",
                          "sketch/floor+ext"],
                         [[f"{per['sketch']:.2f}", f"{per['moments']:.2f}",
                           f"{per['floor']:.2f}", f"{per['floor+ext']:.2f}", fmt_ratio(pr),
                           f"<= {SINGLE_TARGET}", nat.verdict(ratio <= SINGLE_TARGET),
                           f"{pw[0]:.3f}", f"{pq:.3f}", f"{paired(t, 'sketch', 'floor')[0]:.3f}",
                           f"{paired(t, 'sketch', 'floor+ext')[0]:.3f}"]]))
    return Part("single add", md,
                targets=[("single add", "sketch/moments", ratio, f"<= {SINGLE_TARGET}",
                          ratio <= SINGLE_TARGET)],
                checks=checks,
                speed={"one stream": {"QuantileSketch": per["sketch"],
                                      "moments": per["moments"],
                                      "floor": per["floor"], "floor+extremes": per["floor+ext"],
                                      "floor, runs+extremes": math.nan}})


# --------------------------------------------------------------------------- grouped


def grouped(args, ctx):
    lib, k = ctx["floors"], ctx["k"]
    n, repeats, g = args.n, args.repeats, args.groups
    rng = np.random.default_rng(2024)
    vals = rng.standard_normal(n)
    ids = rng.integers(0, g, n, dtype=np.int32)

    lo, hi = np.zeros(2, np.int32), np.zeros(2, np.int32)
    lib.sketch_span(vals.ctypes.data, n, k, lo.ctypes.data, hi.ctypes.data)
    w = np.maximum(hi.astype(np.int64) - lo + 1, 0)
    width = int(w.sum())

    def fresh_counts():
        return touched(g * width)

    def floor(c):
        bad = lib.grouped_sketch_floor(ids.ctypes.data, vals.ctypes.data, n, k, g, c.ctypes.data,
                                       lo.ctypes.data, w.ctypes.data)
        assert bad == -1
        return c

    def fresh_heads():
        h = np.zeros(g, nat.SKETCH_HEAD)
        h["min"], h["max"] = math.inf, -math.inf
        return fresh_counts(), h

    def floor_heads(ch):
        bad = lib.grouped_sketch_floor_heads(ids.ctypes.data, vals.ctypes.data, n, k, g,
                                             ch[0].ctypes.data, lo.ctypes.data, w.ctypes.data,
                                             ch[1].ctypes.data)
        assert bad == -1
        return ch

    def runs(c):
        bad = lib.grouped_sketch_runs(ids.ctypes.data, vals.ctypes.data, n, k, g, c.ctypes.data,
                                      lo.ctypes.data, w.ctypes.data)
        assert bad == -1
        return c

    def runs_heads(ch):
        bad = lib.grouped_sketch_runs_heads(ids.ctypes.data, vals.ctypes.data, n, k, g,
                                            ch[0].ctypes.data, lo.ctypes.data, w.ctypes.data,
                                            ch[1].ctypes.data)
        assert bad == -1
        return ch

    def add_run(s):
        s.add(ids, vals)
        return s

    t, wall = timed_rounds({
        "sketch": (lambda: vornel.GroupedQuantileSketch(g, ALPHA), add_run),
        "moments": (lambda: CyGroupedStreamStats(g), add_run),
        "floor": (fresh_counts, floor),
        "floor+heads": (fresh_heads, floor_heads),
        "runs": (fresh_counts, runs),
        "runs+heads": (fresh_heads, runs_heads),
    }, repeats)
    per = {name: float(np.median(v)) / n for name, v in t.items()}
    pr = paired(t, "sketch", "moments")
    ratio = pr[0]
    pw = paired(wall, "sketch", "moments")
    pq = quiet(t, "sketch", "moments", "runs+heads")

    s = add_run(vornel.GroupedQuantileSketch(g, ALPHA))
    checks = []
    for label, fn in (("floor+heads", floor_heads), ("runs+heads", runs_heads)):
        c, heads = fn(fresh_heads())
        ok = (np.array_equal(s.count, heads["count"]) and np.array_equal(s.min, heads["min"])
              and np.array_equal(s.max, heads["max"]) and int(c.sum()) == n)
        checks.append((f"grouped {label}: per-group count, min and max match the sketch's "
                       f"({g:,} groups)", ok))
    dense_mib = g * width * 8 / 2**20

    cols = ["sketch", "moments", "floor", "floor+heads", "runs", "runs+heads"]
    print(f"grouped add: n = {n:,} standard normal float64, G = {g:,} random int32 ids, ns of "
          f"CPU per value, median of {repeats} rounds, contenders interleaved; floor arrays "
          f"{width:,} slots per group ({dense_mib:.0f} MiB)")
    hdr = ("".join(f"{c:>12}" for c in cols) + f"{'sketch/moments [IQR]':>28}{'target':>9}"
           f"{'':>8}{'(wall)':>8}{'(quiet)':>9}{'sketch/floor':>14}{'sketch/runs+heads':>19}")
    print(hdr)
    print("-" * len(hdr))
    print("".join(f"{per[c]:12.2f}" for c in cols) + f"{fmt_ratio(pr):>28}"
          f"{'<= ' + str(GROUPED_TARGET):>9}{nat.verdict(ratio <= GROUPED_TARGET):>8}"
          f"{pw[0]:8.3f}{pq:9.3f}{paired(t, 'sketch', 'floor')[0]:14.3f}{paired(t, 'sketch', 'runs+heads')[0]:19.3f}")
    print()
    md = (f"GroupedQuantileSketch.add (relative_accuracy={ALPHA}) at G = {g:,}: n = {n:,} "
          f"standard normal float64 values, random int32 ids, against "
          f"CyGroupedStreamStats.add of the same pairs; ns of CPU time per value, median of "
          f"{repeats} rounds, contenders interleaved in an order rotated by round, one thread "
          f"each; ratios are medians of the ratios within a round, [lower, upper quartile], "
          f"and (wall) the same by wall time; (quiet) the median ratio over the rounds where "
          f"runs+heads ran at or below its median time (the quieter half of the run). "
          f"floor = a C++ loop built here that "
          f"includes sketchmap.hpp: id bounds test, bucket index, then one count in the "
          f"group's preallocated dense arrays ({width:,} uint64 slots per group, the index "
          f"span of these values, {dense_mib:.0f} MiB in all); runs = the same, with the slots "
          f"of each run of 64 values found and prefetched before any is counted (as vornel's "
          f"loop does); +heads also keeps each group's count, min and max.\n\n"
          + rep.md_table([*cols, "sketch/moments", "target", "", "(wall)", "(quiet)",
                          "sketch/floor", "sketch/runs+heads"],
                         [[*(f"{per[c]:.2f}" for c in cols), fmt_ratio(pr),
                           f"<= {GROUPED_TARGET}", nat.verdict(ratio <= GROUPED_TARGET),
                           f"{pw[0]:.3f}", f"{pq:.3f}", f"{paired(t, 'sketch', 'floor')[0]:.3f}",
                           f"{paired(t, 'sketch', 'runs+heads')[0]:.3f}"]]))
    return Part("grouped add", md,
                targets=[(f"grouped add, G = {g:,}", "sketch/moments", ratio,
                          f"<= {GROUPED_TARGET}", ratio <= GROUPED_TARGET)],
                checks=checks,
                speed={f"{g:,} groups": {"QuantileSketch": per["sketch"],
                                         "moments": per["moments"],
                                         "floor": per["floor"],
                                         "floor+extremes": per["floor+heads"],
                                         "floor, runs+extremes": per["runs+heads"]}})


# --------------------------------------------------------------------------- accuracy


def datasets(n, seed=99):
    """The accuracy data sets, float64, each of n values."""
    rng = np.random.default_rng(seed)
    mix = np.where(rng.random(n) < 0.3, rng.normal(-20.0, 2.0, n), rng.normal(500.0, 40.0, n))
    signed = rng.standard_normal(n) * 10.0
    cut = rng.random(n)
    signed[cut < 0.10] = 0.0
    signed[(cut >= 0.10) & (cut < 0.15)] = -0.0
    return {
        "normal": rng.standard_normal(n),
        "lognormal s=2": rng.lognormal(0.0, 2.0, n),
        "Pareto a=1.2": rng.pareto(1.2, n) + 1.0,
        "bimodal": mix,
        "integer ties": rng.integers(0, 100, n).astype(np.float64),
        "1e-300..1e300": 10.0 ** rng.uniform(-300.0, 300.0, n),
        "signs, zeros": signed,
    }


def errors(answers, exact, qs=QS):
    """(max relative error and its q over x_q != 0, max absolute error where x_q = 0, or None)."""
    answers = np.asarray(answers, dtype=np.float64)
    nz = exact != 0.0
    with np.errstate(all="ignore"):
        rel = np.abs(answers - exact) / np.abs(exact)
    rel = np.where(nz, rel, -1.0)
    rel = np.where(np.isnan(rel), np.inf, rel)  # a missing answer is the worst one
    i = int(np.argmax(rel))
    zero = float(np.max(np.abs(answers[~nz]))) if (~nz).any() else None
    return float(rel[i]), float(qs[i]), zero


def ours_answers(a):
    return sketch_add(a).quantiles(QS)


def dd_build(lst, dd):
    s = dd.DDSketch(relative_accuracy=ALPHA)
    for x in lst:  # ddsketch adds one value per call
        s.add(x)
    return s


def dd_answers(lst, dd):
    s = dd_build(lst, dd)
    return [s.get_quantile_value(q) for q in QS]


def fd_answers(a, fd):
    d = fd.TDigest.from_values(a)
    return [d.quantile(q) for q in QS]


def duck_answers(con):
    qs = "[" + ", ".join(repr(q) for q in QS) + "]"
    return con.execute(f"SELECT approx_quantile(x, {qs}) FROM t").fetchone()[0]


def duck_connect(duckdb, a):
    import pyarrow as pa

    con = duckdb.connect()
    con.execute("SET threads = 1")
    con.register("t", pa.table({"x": a}))
    return con


def fmt_err(e):
    if e is None:
        return "-"
    rel, q, zero = e
    s = f"{rel:.4g} @{q:g}" if math.isfinite(rel) else f"{rel} @{q:g}"
    if zero is not None:
        s += f", abs(v) {zero:.2g} at 0"
    return s


def accuracy(args, ctx):
    n = args.accuracy_n
    mods = ctx["peers"]
    dd, fd, duckdb = (mods[name][0] for name in ("ddsketch", "fastdigest", "duckdb"))
    names = ["vornel", "ddsketch", "DuckDB", "fastdigest"]
    avail = {"vornel": True, "ddsketch": dd is not None, "DuckDB": duckdb is not None,
             "fastdigest": fd is not None}
    rows, checks, plot = [], [], {}
    ours_ok = True
    repro = []
    print(f"accuracy: n = {n:,} values per data set, max |v - x_q| / |x_q| over q in "
          f"{list(QS)} (x_q = np.quantile(method='lower')) @ the q where it occurs; where x_q = 0, "
          f"the largest |v| apart ('abs(v) .. at 0')")
    grid_name = f"vornel, {GRID:,} q"
    hdr = (f"{'data set':<16}" + "".join(f" {nm:>33}" for nm in [*names, grid_name])
           + f"{'vornel <= 0.01':>16}")
    print(hdr)
    print("-" * len(hdr))
    for label, a in datasets(n).items():
        exact = np.quantile(a, QS, method="lower")
        errs = {"vornel": errors(ours_answers(a), exact)}
        if dd:
            errs["ddsketch"] = errors(dd_answers(a.tolist(), dd), exact)
        if duckdb:
            errs["DuckDB"] = errors(duck_answers(duck_connect(duckdb, a)), exact)
        if fd:
            errs["fastdigest"] = errors(fd_answers(a, fd), exact)
        grid = np.linspace(0.0, 1.0, GRID)
        grid_err = errors(sketch_add(a).quantiles(grid), np.quantile(a, grid, method="lower"),
                          grid)
        ok = True
        for rel, q, zero in (errs["vornel"], grid_err):
            if rel > ALPHA or (zero is not None and zero != 0.0):
                ok = False
                repro.append(f"{label} (datasets(n={n:,}, seed=99)): q = {q!r}")
        ours_ok &= ok
        checks.append((f"vornel within {ALPHA} on {label}, {len(QS)} q and {GRID:,} q", ok))
        cells = [fmt_err(errs.get(nm)) if avail[nm] else "skipped" for nm in names]
        cells.append(fmt_err(grid_err))
        print(f"{label:<16}" + "".join(f" {c:>33}" for c in cells) + f"{nat.mark(ok):>16}")
        rows.append([label, *cells, nat.mark(ok)])
        plot[label] = {nm: max(errs[nm][0], 1e-12) for nm in names if nm in errs}
    print()
    skipped = [f"{nm} ({mods[m][1]})" for nm, m in
               (("ddsketch", "ddsketch"), ("DuckDB", "duckdb"), ("fastdigest", "fastdigest"))
               if not avail[nm]]
    if skipped:
        print("skipped: " + "; ".join(skipped))
    print(f"check: vornel's error <= {ALPHA} on every data set and q: {nat.verdict(ours_ok)}")
    for r in repro:
        print(f"  reproducer: {r}")
    print()

    # Speed: the time to build each summary from the values and answer the nine q.
    sn, reps = args.speed_n, args.speed_repeats
    a = np.random.default_rng(7).standard_normal(sn)
    lst = a.tolist()  # ddsketch's input, made outside the timing
    contenders = {"vornel": (lambda: None, lambda _: ours_answers(a))}
    if dd:
        contenders["ddsketch"] = (lambda: None, lambda _: dd_answers(lst, dd))
    if fd:
        contenders["fastdigest"] = (lambda: None, lambda _: fd_answers(a, fd))
    if duckdb:
        contenders["DuckDB"] = (lambda: duck_connect(duckdb, a), duck_answers)
    t, _ = timed_rounds(contenders, reps)
    per = {nm: float(np.median(v)) / sn for nm, v in t.items()}
    rel = {nm: paired(t, nm, "vornel")[0] for nm in t}
    print(f"build + nine quantiles, n = {sn:,} standard normal values, ns of CPU per value, "
          f"median of "
          f"{reps} runs, interleaved (ddsketch adds from a list, one value per call; DuckDB "
          f"one thread, query over a registered Arrow table)")
    for nm in names:
        if nm in per:
            print(f"  {nm:<12}{per[nm]:12.1f} ns/value   x{rel[nm]:10.1f} "
                  f"vornel's time")
        else:
            print(f"  {nm:<12}{'skipped':>12}")
    print()
    speed_rows = [[nm, f"{per[nm]:.1f}" if nm in per else "skipped",
                   f"{rel[nm]:.1f}" if nm in per else "-"] for nm in names]
    versions = ", ".join(f"{nm} {version(mods[m][0])}" for nm, m in
                         (("ddsketch", "ddsketch"), ("DuckDB", "duckdb"),
                          ("fastdigest", "fastdigest")) if avail[nm])
    md = (f"Largest relative error |v - x_q| / |x_q| over q in {', '.join(map(str, QS))}, with "
          f"x_q the exact value of rank floor(q (n - 1)) (NumPy's method=\"lower\"), "
          f"n = {n:,} values per data set, @ the q where it occurs. Where x_q = 0 "
          f"the relative error is undefined: the largest |v| over those q is given apart "
          f"(\"abs(v) .. at 0\"). vornel and ddsketch at relative_accuracy={ALPHA}; DuckDB's "
          f"approx_quantile (one thread) and fastdigest are t-digests, with no bound on the "
          f"relative error. The column \"{grid_name}\" checks vornel alone on an even grid "
          f"of {GRID:,} q from 0 to 1. Peers: {versions or 'none'}"
          + (f"; skipped: {'; '.join(skipped)}" if skipped else "") + ".\n\n"
          + rep.md_table(["data set", *names, grid_name, f"vornel <= {ALPHA}"], rows)
          + f"\nCheck, vornel's error at most {ALPHA} on every data set and q: "
            f"{nat.verdict(ours_ok)}.\n\n"
          + f"Build from n = {sn:,} standard normal values and answer the nine q, ns of CPU "
            f"time per value (the process's, all threads), "
            f"median of {reps} runs, interleaved (ddsketch adds from a Python list, one value "
            f"per call; DuckDB over a registered Arrow table):\n\n"
          + rep.md_table(["contender", "ns per value", "x vornel's time"], speed_rows))
    return Part("accuracy", md, checks=checks, errors=plot)


# --------------------------------------------------------------------------- memory


def status_bytes(field):
    """A /proc/self/status figure (VmRSS, VmHWM) in bytes."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"no {field} in /proc/self/status")


def reset_peak():
    """Starts VmHWM afresh from the current RSS (Linux); False where it cannot."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def memory_probe(kind, g, n, chunks):
    """Child process: RSS growth across making a grouped summary of g groups and adding n
    pairs to it in `chunks` calls."""
    rng = np.random.default_rng(5)
    ids = rng.integers(0, g, n, dtype=np.int32)
    vals = rng.standard_normal(n)
    fresh = reset_peak()
    before = status_bytes("VmRSS")
    if kind == "sketch":
        s = vornel.GroupedQuantileSketch(g, ALPHA)
    else:
        s = CyGroupedStreamStats(g)
    bounds = [n * i // chunks for i in range(chunks + 1)]
    for lo, hi in zip(bounds, bounds[1:]):
        s.add(ids[lo:hi], vals[lo:hi])
    after = status_bytes("VmRSS")
    peak = status_bytes("VmHWM") if fresh else None
    out = {"growth": after - before, "peak": None if peak is None else peak - before,
           "nbytes": int(s.nbytes) if kind == "sketch" else None}
    print(json.dumps(out))


def memory(args, ctx):
    g, n = args.mem_groups, args.mem_n
    chunks = 10  # as a reader feeds it, a block at a time
    # (summary, kind, groups, values, adds, judged against the target)
    cases = [("GroupedQuantileSketch", "sketch", g, n, 1, True),
             ("GroupedQuantileSketch", "sketch", g, n, chunks, True),
             ("GroupedQuantileSketch", "sketch", g // 10, n // 10, chunks, False),
             ("CyGroupedStreamStats", "moments", g, n, 1, False)]
    print(f"memory: about {n / g:.0f} standard normal values per group, random int32 ids; "
          f"a fresh process per row; bytes per group")
    hdr = (f"{'summary':<24}{'groups':>11}{'adds':>6}{'RSS growth':>12}{'nbytes':>9}"
           f"{'peak':>9}{'target':>9}  ")
    print(hdr)
    print("-" * len(hdr))
    rows, targets = [], []
    for label, kind, groups, values, adds, judged in cases:
        child = subprocess.run([sys.executable, os.path.abspath(__file__), "--memory-probe",
                                kind, str(groups), str(values), str(adds)],
                               capture_output=True, text=True)
        if child.returncode:
            raise SystemExit(f"memory probe ({kind}) failed:\n{child.stderr}")
        res = json.loads(child.stdout)
        rss = res["growth"] / groups
        nb = "-" if res["nbytes"] is None else f"{res['nbytes'] / groups:.1f}"
        peak = "-" if res["peak"] is None else f"{res['peak'] / groups:.1f}"
        want = f"<= {BYTES_TARGET}" if judged else "-"
        verdict = nat.verdict(rss <= BYTES_TARGET) if judged else ""
        print(f"{label:<24}{groups:>11,}{adds:>6}{rss:12.1f}{nb:>9}{peak:>9}{want:>9}  "
              f"{verdict}")
        rows.append([label, f"{groups:,}", adds, f"{rss:.1f}", nb, peak, want, verdict])
        if judged:
            targets.append((f"bytes per group, G = {groups:,}, {adds} add"
                            + ("s" if adds > 1 else ""), "RSS growth", rss,
                            f"<= {BYTES_TARGET}", rss <= BYTES_TARGET))
            nbv = res["nbytes"] / groups
            targets.append((f"bytes per group, G = {groups:,}, {adds} add"
                            + ("s" if adds > 1 else ""), "nbytes", nbv,
                            f"<= {BYTES_TARGET}", nbv <= BYTES_TARGET))
    print()
    md = (f"Bytes per group with about {n / g:.0f} standard normal values per group and "
          f"random int32 ids, each row in a fresh process: RSS growth across constructing "
          f"the summary and adding the pairs in one add or in {chunks} (allocator included), "
          f"the sketch's nbytes after, and the peak RSS during the adds above the RSS before "
          f"(VmHWM, reset just before). The target, at most {BYTES_TARGET} B (4 x the 48-byte "
          f"moments record), is set at {g:,} groups; the row at {g // 10:,} groups shows the "
          f"allocator's part: glibc serves blocks below its adaptive mmap threshold (up to "
          f"32 MiB) from the heap, where the arenas a sketch has outgrown may stay resident "
          f"after they are freed.\n\n"
          + rep.md_table(["summary", "groups", "adds", "RSS growth B/group", "nbytes B/group",
                          "peak B/group", "target", ""], rows))
    return Part("memory", md, targets=targets)


# --------------------------------------------------------------------------- quantiles, peers

# The quantile outputs of describe, its command line and vornel.dask against their peers:
# pandas and Polars in memory, DuckDB and Polars as whole processes, dask on a LocalCluster.

TABLE_QS = (0.25, 0.5, 0.75)
TABLE_TARGET = 3.0  # pandas' time / vornel.describe's, at least
CLI_TARGET = 1.25  # `vornel describe -q` time / the same without -q, at most
STATS7 = list(dsc.STATS)
DASK_QS = (0.001, 0.01, 0.25, 0.5, 0.75, 0.99, 0.999)
DASK_PARTS = (3, 8, 17)
DASK_WORKERS = (2, 1)


def exact_grouped(ids, vals, g, qs, methods=("lower",)):
    """{method: (g, len(qs)) array} of np.quantile over each group's values (NaN where a
    group is empty); one sort serves every group and method."""
    order = np.lexsort((vals, ids))
    sv = vals[order]
    counts = np.bincount(ids, minlength=g)
    ends = np.cumsum(counts)
    out = {m: np.full((g, len(qs)), math.nan) for m in methods}
    for i in np.flatnonzero(counts):
        part = sv[ends[i] - counts[i]:ends[i]]
        for m in methods:
            out[m][i] = np.quantile(part, qs, method=m)
    return out


def rel_errors(got, exact):
    """(largest |v - x_q| / |x_q| over x_q != 0, largest |v| where x_q = 0 or 0.0); NaN in
    got counts as the worst answer."""
    got, exact = np.asarray(got, np.float64), np.asarray(exact, np.float64)
    nz = exact != 0.0
    with np.errstate(all="ignore"):
        rel = np.abs(got[nz] - exact[nz]) / np.abs(exact[nz])
    rel = np.where(np.isnan(rel), math.inf, rel)
    zero = np.abs(got[~nz])
    return (float(rel.max()) if rel.size else 0.0,
            float(np.where(np.isnan(zero), math.inf, zero).max()) if zero.size else 0.0)


def within(got, exact, alpha=ALPHA):
    rel, zero = rel_errors(got, exact)
    return rel <= alpha and zero == 0.0, rel


# --------------------------------------------------------------------------- describe


def table_frames(n, keys):
    """bench/describe.py's telemetry rows (the very doubles its CSV parses to): the station
    numbers, the station names, and {(key type, column): (pandas frame, Polars frame)} of one
    value column each, keyed by int64 station numbers or by a categorical of their names;
    also {column: values}."""
    import pandas as pd
    import polars as pl

    parts = list(dsc.telemetry_chunks(n, keys, 7))
    ids = np.concatenate([p[0] for p in parts]).astype(np.int64)
    vals = {c: np.concatenate([p[1 + j] for p in parts]) / 1000.0
            for j, c in enumerate(dsc.COLUMNS)}
    del parts
    names = dsc.station_names(keys)
    key = {"int64": ids, "categorical": pd.Categorical.from_codes(ids, categories=names)}
    frames = {}
    for kind, k in key.items():
        for c, v in vals.items():
            df = pd.DataFrame({"station": k, c: v}, copy=False)
            frames[(kind, c)] = (df, pl.from_pandas(df))
    return ids, names, vals, frames


def vornel_table(df, quantiles=TABLE_QS):
    return vornel.describe(df, by="station", quantiles=list(quantiles) or None).to_pandas()


def pandas_table(df, col):
    # One groupby object for both calls, so its key codes are computed once; sort=False and
    # observed=True, pandas' fastest spelling (and what a categorical key wants).
    gb = df.groupby("station", sort=False, observed=True)[col]
    return gb.quantile(list(TABLE_QS)), gb.agg(STATS7)


def polars_table(pdf, col):
    import polars as pl

    x = pl.col(col)
    return pdf.group_by("station").agg(
        x.count().alias("count"), x.sum().alias("sum"), x.mean().alias("mean"),
        x.min().alias("min"), x.max().alias("max"), x.var().alias("var"),
        x.std().alias("std"),
        *(x.quantile(q, interpolation="lower").alias(f"q{q}") for q in TABLE_QS))


def sketch_only(ids32, vals, g):
    s = vornel.GroupedQuantileSketch(g, ALPHA)
    s.add(ids32, vals)
    return s


def table_checks(case, df, pdf, col, names, exact):
    """Checks of one case: vornel's quantiles within ALPHA of the exact lower ones, Polars'
    equal to them, pandas' equal to NumPy's linear ones, and the seven statistics of vornel
    (ddof=1), pandas and Polars agreeing."""
    kind = case.split(",")[0]
    code = (lambda k: int(k)) if kind == "int64" else {nm: i for i, nm in enumerate(names)}.get
    cols = [f"p{round(q * 100)}" for q in TABLE_QS]
    v = vornel.describe(df, by="station", quantiles=list(TABLE_QS)).to_pandas(ddof=1)
    v = v.reset_index()
    at = np.array([code(k) for k in v["station"]])
    ours_ok, ours_rel = within(v[cols].to_numpy(), exact["lower"][at])
    vstats = {code(r[0]): list(r[1:]) for r in
              v[["station", *STATS7]].itertuples(index=False)}

    pq, pagg = pandas_table(df, col)
    pq = pq.unstack()
    pat = np.array([code(k) for k in pq.index])
    pd_rel = rel_errors(pq[list(TABLE_QS)].to_numpy(), exact["linear"][pat])[0]
    pstats = {code(k): list(r) for k, r in zip(pagg.index, pagg[STATS7].to_numpy().tolist())}

    pl_out = polars_table(pdf, col)
    lat = np.array([code(k) for k in pl_out["station"].to_list()])
    pl_q = np.column_stack([pl_out[f"q{q}"].to_numpy() for q in TABLE_QS])
    pl_same = bool(np.array_equal(pl_q, exact["lower"][lat]))
    lstats = {code(r[0]): list(r[1:]) for r in pl_out.select(["station", *STATS7]).iter_rows()}

    why_pd = dsc.disagreement(pstats, vstats, 'pandas')
    why_pl = dsc.disagreement(pstats, lstats, 'pandas')
    return [
        (f"{case}: vornel's p25, p50, p75 within {ALPHA} of the exact (method=\"lower\") ones "
         f"of every station (largest {ours_rel:.4g})", ours_ok),
        (f"{case}: Polars' quantiles (interpolation=\"lower\") equal the exact ones", pl_same),
        (f"{case}: pandas' quantiles equal np.quantile (linear) to 1e-12 (largest "
         f"{pd_rel:.2g})", pd_rel <= 1e-12),
        (f"{case}: vornel's count, sum, mean, min, max, var, std (ddof=1) agree with pandas' "
         f"agg" + (f" ({why_pd})" if why_pd else ""), why_pd is None),
        (f"{case}: Polars' seven statistics agree with pandas'"
         + (f" ({why_pl})" if why_pl else ""), why_pl is None),
    ]


def describe_section(args, ctx):
    import pandas as pd
    import polars as pl

    n, g, reps = args.table_n, 1000, args.table_repeats
    ids, names, vals, frames = table_frames(n, g)
    ids32 = ids.astype(np.int32)
    exact = {c: exact_grouped(ids, v, g, TABLE_QS, ("lower", "linear")) for c, v in vals.items()}

    print(f"describe with quantiles, in memory: n = {n:,} rows, {g:,} stations, one value "
          f"column at a time; wall seconds, median of {reps} rounds, contenders interleaved "
          f"in an order rotated by round; pandas {pd.__version__}, Polars {pl.__version__}")
    hdr = (f"{'key, column':<26}{'vornel':>8}{'no q':>8}{'add':>8}{'pandas':>8}{'Polars':>8}"
           f"{'pandas/vornel [IQR]':>24}{'target':>8}{'':>8}{'(CPU)':>7}{'(best)':>8}"
           f"{'Polars/vornel':>15}")
    print(hdr)
    print("-" * len(hdr))
    rows, targets, checks, plot = [], [], [], {}
    for (kind, col), (df, pdf) in frames.items():
        case = f"{kind}, {col}"
        v = vals[col]
        cpu, wall = timed_rounds({
            "vornel": (lambda: None, lambda _, df=df: vornel_table(df)),
            "vornel, no q": (lambda: None, lambda _, df=df: vornel_table(df, ())),
            "sketch add": (lambda: None, lambda _, v=v: sketch_only(ids32, v, g)),
            "pandas": (lambda: None, lambda _, df=df, col=col: pandas_table(df, col)),
            "Polars": (lambda: None, lambda _, pdf=pdf, col=col: polars_table(pdf, col)),
        }, reps)
        sec = {k: float(np.median(t)) / 1e9 for k, t in wall.items()}
        pr = paired(wall, "pandas", "vornel")
        pc = paired(cpu, "pandas", "vornel")
        pl_r = paired(wall, "Polars", "vornel")
        ok = pr[0] >= TABLE_TARGET
        best = float(wall["pandas"].min() / wall["vornel"].min())
        add_ns = sec["sketch add"] * 1e9 / n
        print(f"{case:<26}{sec['vornel']:8.3f}{sec['vornel, no q']:8.3f}{add_ns:8.2f}"
              f"{sec['pandas']:8.3f}{sec['Polars']:8.3f}{fmt_ratio(pr):>24}"
              f"{'>= ' + str(TABLE_TARGET):>8}{nat.verdict(ok):>8}{pc[0]:7.2f}{best:8.2f}"
              f"{pl_r[0]:15.2f}", flush=True)
        rows.append([case, f"{sec['vornel']:.3f}", f"{sec['vornel, no q']:.3f}",
                     f"{add_ns:.2f}", f"{sec['pandas']:.3f}", f"{sec['Polars']:.3f}",
                     fmt_ratio(pr), f">= {TABLE_TARGET}", nat.verdict(ok), f"{pc[0]:.2f}",
                     f"{best:.2f}", f"{pl_r[0]:.2f}"])
        targets.append((f"describe + 3 q in memory, {case}", "pandas/vornel", pr[0],
                        f">= {TABLE_TARGET}", ok))
        checks += table_checks(case, df, pdf, col, names, exact[col])
        plot[case] = sec
    print()
    for label, ok in checks:
        print(f"  {nat.mark(ok)} {label}")
    print()
    md = (f"`vornel.describe(df, by=\"station\", quantiles=[0.25, 0.5, 0.75]).to_pandas()` "
          f"(count, missing, sum, mean, min, max, var, std, p25, p50, p75) on a pandas "
          f"DataFrame of n = {n:,} rows and one value column: each column of bench/describe.py's "
          f"telemetry data in turn (values in thousandths; per station, temperature "
          f"N(m, 6) with m uniform in [-10, 30], humidity N(m, 12) with m in [30, 90] "
          f"clipped to [0, 100], pressure N(m, 6) with m in [995, 1025]), "
          f"{g:,} stations in random order, the key as int64 station numbers or as a "
          f"categorical of their names. Against pandas {pd.__version__}: "
          f"`gb = df.groupby(\"station\", sort=False, observed=True)[col]`, "
          f"`gb.quantile([0.25, 0.5, 0.75])` and `gb.agg([\"count\", \"sum\", \"mean\", "
          f"\"min\", \"max\", \"var\", \"std\"])` (exact, linear interpolation); beside it "
          f"Polars {pl.__version__} on the same data (`pl.from_pandas`, outside the timing): "
          f"`group_by(\"station\").agg(...)` of the same seven and "
          f"`quantile(q, interpolation=\"lower\")` for the three q (exact; all CPUs). "
          f"\"no q\" is vornel.describe without quantiles; \"add\" is "
          f"GroupedQuantileSketch({g}).add(int32 ids, values) alone, in ns per value: its "
          f"cost depends on the column's values, and vornel's time with quantiles follows it. "
          f"Wall seconds, median of {reps} "
          f"rounds, contenders interleaved in an order rotated by round; ratios are medians "
          f"of the ratios within a round [lower, upper quartile]; (CPU) the same ratio by the "
          f"process's CPU time; (best) pandas' fastest round over vornel's fastest, the "
          f"nearest figure here to an idle machine: other load slows pandas' groupby more "
          f"than vornel (in CPU time too), so the medians flatter vornel where the machine "
          f"is busy.\n\n"
          + rep.md_table(["key, column", "vornel (s)", "vornel, no q (s)", "add (ns/value)",
                          "pandas (s)", "Polars (s)", "pandas / vornel", "target", "",
                          "(CPU)", "(best)", "Polars / vornel"], rows)
          + "\nChecks (exact quantiles per station by np.quantile over the station's values; "
            "statistics to 1e-9 relative, counts exactly):\n\n"
          + "".join(f"- {nat.mark(ok)} {label}\n" for label, ok in checks))
    return Part("describe with quantiles, in memory", md, targets=targets, checks=checks,
                plots={"describe": plot})


# --------------------------------------------------------------------------- command line

# Whole-process peers of `vornel describe -q`: the file is argv[1]; one CSV row per station
# on standard output. DuckDB's progress bar is off: it writes to standard output too, into
# the CSV that the check reads.
DUCKDB_Q = """
import sys, duckdb
duckdb.sql("SET enable_progress_bar = false")
cols = {cols!r}
qs = {qs!r}
aggs = ", ".join(f"count({{c}}), sum({{c}}), avg({{c}}), min({{c}}), max({{c}}), "
                 f"var_pop({{c}}), stddev_pop({{c}}), approx_quantile({{c}}, {{qs}}) AS {{c}}_q"
                 for c in cols)
path = sys.argv[1].replace("'", "''")
duckdb.sql(f"COPY (SELECT station, {{aggs}} FROM read_csv('{{path}}') GROUP BY station) "
           f"TO '/dev/stdout' (FORMAT csv, HEADER)")
"""

POLARS_Q = """
import sys, polars as pl
cols = {cols!r}
qs = {qs!r}
aggs = []
for c in cols:
    x = pl.col(c)
    aggs += [x.count().alias(c + "_count"), x.sum().alias(c + "_sum"),
             x.mean().alias(c + "_mean"), x.min().alias(c + "_min"), x.max().alias(c + "_max"),
             x.var(ddof=0).alias(c + "_var"), x.std(ddof=0).alias(c + "_std")]
    aggs += [x.quantile(q, interpolation="lower").alias(f"{{c}}_q{{q}}") for q in qs]
pl.scan_csv(sys.argv[1]).group_by("station").agg(aggs).collect().write_csv(sys.stdout.buffer)
"""


def cli_commands(path):
    """Tool name -> argv (each a whole process)."""
    plain = dsc.commands(path)
    qarg = ",".join(str(q) for q in TABLE_QS)
    fmt = dict(cols=dsc.COLUMNS, qs=list(TABLE_QS))
    return {
        "vornel -q": plain["vornel"][0] + ["-q", qarg],
        "vornel": plain["vornel"][0],
        "DuckDB approx_quantile": [sys.executable, "-c", DUCKDB_Q.format(**fmt), path],
        "Polars quantile": [sys.executable, "-c", POLARS_Q.format(**fmt), path],
        "DuckDB, no q": plain["DuckDB"][0],
        "Polars, no q": plain["Polars"][0],
    }


def read_csv_rows(path):
    import csv

    with open(path, newline="") as f:
        return list(csv.DictReader(f))


def cli_outputs(tools, out_dir):
    """Runs each tool once into a file, DuckDB twice: {run: rows as dicts}."""
    outs = {}
    duck = "DuckDB approx_quantile"
    for run, name in (("vornel -q", "vornel -q"), ("vornel", "vornel"), ("DuckDB", duck),
                      ("DuckDB again", duck), ("Polars", "Polars quantile")):
        out = os.path.join(out_dir, f"quantiles-{run.replace(' ', '-')}.csv")
        dsc.run(tools[name], None, stdout=out)
        outs[run] = read_csv_rows(out)
    return outs


def cli_checks(outs, n, keys):
    """vornel's quantiles within ALPHA of the exact ones per (station, column), its seven
    statistics the same text as without -q, Polars' quantiles equal to the exact ones, and
    DuckDB's and Polars' statistics agreeing with vornel's; also DuckDB's largest error."""
    parts = list(dsc.telemetry_chunks(n, keys, 7))
    ids = np.concatenate([p[0] for p in parts]).astype(np.int64)
    names = dsc.station_names(keys)
    code = {nm: i for i, nm in enumerate(names)}
    qcols = [f"p{round(q * 100)}" for q in TABLE_QS]
    checks, info = [], {}
    ours_rel, duck_rel, duck_rel2, duck_moved = 0.0, 0.0, 0.0, 0.0
    ours_ok, pl_same = True, True
    v, v0 = outs["vornel -q"], outs["vornel"]
    same_text = (len(v) == len(v0) and all(
        [a[k] for k in ("station", "column", "count", "missing", *STATS7[1:])]
        == [b[k] for k in ("station", "column", "count", "missing", *STATS7[1:])]
        for a, b in zip(v, v0)))
    vstats, dstats, lstats = {}, {}, {}
    for j, c in enumerate(dsc.COLUMNS):
        vals = np.concatenate([p[1 + j] for p in parts]) / 1000.0
        exact = exact_grouped(ids, vals, keys, TABLE_QS)["lower"]
        rows = [r for r in v if r["column"] == c]
        at = np.array([code[r["station"]] for r in rows])
        ok, rel = within(np.array([[float(r[k]) for k in qcols] for r in rows]), exact[at])
        ours_ok &= ok
        ours_rel = max(ours_rel, rel)
        vstats.update({(r["station"], c): [float(r[s]) for s in STATS7] for r in rows})
        d = outs["DuckDB"]
        at = np.array([code[r["station"]] for r in d])
        dq = np.array([json.loads(r[f"{c}_q"]) for r in d], dtype=np.float64)
        duck_rel = max(duck_rel, rel_errors(dq, exact[at])[0])
        again = {r["station"]: json.loads(r[f"{c}_q"]) for r in outs["DuckDB again"]}
        dq2 = np.array([again[r["station"]] for r in d], dtype=np.float64)
        duck_rel2 = max(duck_rel2, rel_errors(dq2, exact[at])[0])
        duck_moved = max(duck_moved, float(np.max(np.abs(dq2 - dq) / np.abs(exact[at]))))
        heads = ["count", "sum", "avg", "min", "max", "var_pop", "stddev_pop"]
        dstats.update({(r["station"], c): [float(r[f"{h}({c})"]) for h in heads] for r in d})
        p = outs["Polars"]
        at = np.array([code[r["station"]] for r in p])
        pq = np.array([[float(r[f"{c}_q{q}"]) for q in TABLE_QS] for r in p])
        pl_same &= bool(np.array_equal(pq, exact[at]))
        lstats.update({(r["station"], c): [float(r[f"{c}_{s}"]) for s in STATS7] for r in p})
    why_d = dsc.disagreement(vstats, dstats, 'vornel')
    why_l = dsc.disagreement(vstats, lstats, 'vornel')
    checks = [
        (f"vornel -q: p25, p50, p75 within {ALPHA} of the exact (method=\"lower\") ones of every "
         f"station and column (largest {ours_rel:.4g})", ours_ok),
        ("vornel -q: count, missing, sum, mean, min, max, var, std the same text as without -q",
         same_text),
        ("Polars: quantiles (interpolation=\"lower\") equal the exact ones", pl_same),
        ("DuckDB: the seven statistics agree with vornel's" + (f" ({why_d})" if why_d else ""),
         why_d is None),
        ("Polars: the seven statistics agree with vornel's" + (f" ({why_l})" if why_l else ""),
         why_l is None),
    ]
    info["duckdb_rel"] = (duck_rel, duck_rel2, duck_moved)
    info["ours_rel"] = ours_rel
    return checks, info


def cli_section(args, ctx):
    n, keys, reps = args.cli_n, 1000, args.cli_rounds
    path = dsc.make_csv(n, keys)
    mib = os.path.getsize(path) / 2**20
    tools = cli_commands(path)
    out_dir = os.path.join(rep.REPO, "build", "bench-data")
    dsc.warm(path)
    checks, info = cli_checks(cli_outputs(tools, out_dir), n, keys)
    names = list(tools)
    wall, cpu, rss = ({k: np.zeros(reps) for k in names} for _ in range(3))
    floor = dsc.run(["true"])[1]
    # The two runs of the target's ratio always run back to back (in either order, by
    # round), so that a burst of other load more often falls on both; the other tools
    # rotate around them.
    units = [["vornel -q", "vornel"], *([k] for k in names if not k.startswith("vornel"))]
    load = os.getloadavg()[0]
    print(f"command line with quantiles, whole processes: {os.path.relpath(path, rep.REPO)} "
          f"({mib:.0f} MiB, {n:,} rows, {keys:,} stations), {reps} rounds, tools in an order "
          f"rotated by round; peak RSS floor (the launcher's) {floor:.0f} MiB; load average "
          f"(1 min) before: {load:.2f}", flush=True)
    for r in range(reps):
        k = r % len(units)
        order = [nm for u in units[k:] + units[:k] for nm in (u if r % 2 == 0 else u[::-1])]
        line = []
        for name in order:
            wall[name][r], rss[name][r], cpu[name][r] = dsc.run_usage(tools[name])
            line.append(f"{name} {wall[name][r]:.2f}")
        print(f"  round {r + 1}: " + ", ".join(line), flush=True)
    load_after = os.getloadavg()[0]
    sec = {k: float(np.median(v)) for k, v in wall.items()}
    csec = {k: float(np.median(v)) for k, v in cpu.items()}
    pr = paired(wall, "vornel -q", "vornel")
    pc = paired(cpu, "vornel -q", "vornel")
    best = float(wall["vornel -q"].min() / wall["vornel"].min())
    ok = pr[0] <= CLI_TARGET
    rows = []
    print(f"{'tool':<24}{'seconds':>9}{'CPU s':>8}{'/ vornel':>10}{'/ vornel -q':>13}"
          f"{'peak RSS MiB':>14}")
    for name in names:
        vs, vq = paired(wall, name, "vornel")[0], paired(wall, name, "vornel -q")[0]
        print(f"{name:<24}{sec[name]:9.2f}{csec[name]:8.2f}{vs:10.2f}{vq:13.2f}"
              f"{rss[name].max():14.0f}")
        rows.append([f"`{name}`" if name.startswith("vornel") else name, f"{sec[name]:.2f}",
                     f"{csec[name]:.2f}", f"{vs:.2f}", f"{vq:.2f}", f"{rss[name].max():.0f}"])
    print(f"target: vornel -q / vornel {fmt_ratio(pr)} <= {CLI_TARGET}: {nat.verdict(ok)} "
          f"(by CPU time {fmt_ratio(pc)}; fastest over fastest {best:.3f}); load average "
          f"(1 min) after: {load_after:.2f}")
    dr = info["duckdb_rel"]
    print(f"DuckDB approx_quantile's largest relative error over the three q, stations and "
          f"columns: {dr[0]:.4g}, and {dr[1]:.4g} in a second run on the same file, whose "
          f"answers moved by up to {dr[2]:.4g} of x_q (a t-digest: no bound)")
    for label, c_ok in checks:
        print(f"  {nat.mark(c_ok)} {label}")
    print()
    md = (f"Whole processes on bench/describe.py's telemetry CSV ({n:,} rows, {keys:,} "
          f"stations, {mib:.0f} MiB; three value columns), from start to exit, output to "
          f"/dev/null, file in the page cache; median of {reps} rounds, tools in an order "
          f"rotated by round, with `vornel -q` and `vornel` always back to back (in turns "
          f"first); ratios are medians of the ratios within a round (wall time); CPU s is "
          f"the median user + system time of the process and its children; peak RSS is "
          f"the largest ru_maxrss over the rounds (the launcher's own floor: {floor:.0f} MiB). "
          f"DuckDB and Polars use every CPU. Load average (1 min) {load:.2f} before the "
          f"rounds and {load_after:.2f} after, on {os.cpu_count()} CPUs: other processes "
          f"took CPU time from every tool, unevenly, so the spread of the ratio is shown "
          f"[lower, upper quartile].\n\n"
          f"- `vornel -q`: `python -m vornel describe FILE -g station -f csv -q "
          f"0.25,0.5,0.75`; `vornel`: the same without `-q`\n"
          f"- DuckDB approx_quantile: `COPY (SELECT station, count, sum, avg, min, max, "
          f"var_pop, stddev_pop, approx_quantile(x, [0.25, 0.5, 0.75]) ... FROM "
          f"read_csv(FILE) GROUP BY station) TO '/dev/stdout'`\n"
          f"- Polars quantile: `scan_csv(FILE).group_by('station').agg(...)`, the same seven "
          f"(ddof=0) and `quantile(q, interpolation='lower')` for the three q (exact), "
          f"`collect()`, `write_csv`\n"
          f"- DuckDB, no q and Polars, no q: bench/describe.py's commands (the seven alone)\n\n"
          + rep.md_table(["tool", "seconds", "CPU s", "/ vornel", "/ vornel -q",
                          "peak RSS (MiB)"], rows)
          + f"\n- target: `vornel -q` / `vornel` {fmt_ratio(pr)} by wall time, at most "
            f"{CLI_TARGET}: {nat.verdict(ok)} (by CPU time {fmt_ratio(pc)}; the fastest "
            f"`vornel -q` over the fastest `vornel`: {best:.3f})\n"
          + f"- DuckDB's approx_quantile (a t-digest, no error bound): largest relative error "
            f"{dr[0]:.4g} over the three q, {keys:,} stations and three columns, and "
            f"{dr[1]:.4g} in a second run of the same command on the same file (its answers "
            f"moved by up to {dr[2]:.4g} of x_q between the two); vornel's {info['ours_rel']:.4g}\n"
          + "".join(f"- {nat.mark(c_ok)} check: {label}\n" for label, c_ok in checks))
    return Part("command line with quantiles, whole processes", md,
                targets=[("describe -q, whole process", "-q / no -q", pr[0],
                          f"<= {CLI_TARGET}", ok)],
                checks=checks, plots={"cli": {k: sec[k] for k in names}})


# --------------------------------------------------------------------------- dask


def dask_place(client, vals, parts):
    """vals in `parts` near-equal chunks, chunk i scattered to worker i % workers, as a
    persisted dask array."""
    import dask.array as da
    from distributed import wait

    workers = sorted(client.scheduler_info()["workers"])
    bounds = [len(vals) * i // parts for i in range(parts + 1)]
    futs = [client.scatter(vals[lo:hi], workers=[workers[i % len(workers)]])
            for i, (lo, hi) in enumerate(zip(bounds, bounds[1:]))]
    x = da.concatenate([da.from_delayed(f, shape=(hi - lo,), dtype=np.float64)
                        for f, lo, hi in zip(futs, bounds, bounds[1:])])
    x = client.persist(x)
    wait(x)
    del futs
    return x


def dask_runs(vals, qs, reps):
    """For each (workers, chunks): vornel's answers, da.percentile's, the dask DataFrame's,
    and the wall seconds of each, interleaved round by round."""
    import warnings

    import dask.array as da
    from distributed import Client, LocalCluster

    import cluster as clu  # its scheduler helpers
    import vornel.dask as vdask

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FutureWarning)
        import dask.dataframe as ddf

    ours, theirs, frame_q, times = {}, {}, {}, {}
    for w in DASK_WORKERS:
        # A worker closed while its heartbeat is in flight logs an error at shutdown;
        # a failure of the work itself raises here, in the client.
        with LocalCluster(n_workers=w, threads_per_worker=1, processes=True,
                          dashboard_address=":0", host="127.0.0.1",
                          silence_logs=logging.CRITICAL) as cl, Client(cl) as client:
            for parts in DASK_PARTS:
                x = dask_place(client, vals, parts)
                s = ddf.from_dask_array(x)
                persisted = clu.scheduler_tasks(client)

                def ready():
                    # A run's results are released after it returns; the next run must not
                    # reuse them, nor overlap their clean-up.
                    clu.settle(client, persisted)

                cfg = (w, parts)
                ours[cfg] = vdask.quantiles(x, qs)
                theirs[cfg] = da.percentile(x, qs * 100).compute()
                frame_q[cfg] = np.asarray(s.quantile(list(qs)).compute())
                _, wall = timed_rounds({
                    "vornel.dask.quantiles": (ready, lambda _: vdask.quantiles(x, qs)),
                    "da.percentile": (ready, lambda _: da.percentile(x, qs * 100).compute()),
                    "dd Series.quantile": (ready, lambda _: s.quantile(list(qs)).compute()),
                }, reps)
                times[cfg] = {k: float(np.median(v)) / 1e9 for k, v in wall.items()}
                times[cfg]["ratio"] = paired(wall, "da.percentile", "vornel.dask.quantiles")[0]
                print(f"  {w} worker{'s' if w > 1 else ' '}, {parts:2d} chunks: " + ", ".join(
                    f"{k} {v:.3f} s" for k, v in times[cfg].items() if k != "ratio")
                    + f"; da.percentile / vornel {times[cfg]['ratio']:.2f}", flush=True)
                del x, s
    return ours, theirs, frame_q, times


def dask_section(args, ctx):
    import dask

    n, reps = args.dask_n, args.dask_repeats
    vals = np.random.default_rng(2025).lognormal(0.0, 2.0, n)
    qs = np.array(DASK_QS)
    exact = np.quantile(vals, qs, method="lower")
    one = vornel.QuantileSketch(ALPHA)
    one.add(vals)
    one = one.quantiles(qs)

    print(f"dask: n = {n:,} lognormal (sigma 2) values in {', '.join(map(str, DASK_PARTS))} "
          f"chunks, scattered to LocalClusters of {' and '.join(map(str, DASK_WORKERS))} "
          f"worker processes (1 thread each); wall seconds, median of {reps} rounds, "
          f"interleaved", flush=True)
    # Without dask-expr each worker's dask DataFrame warns that it is the legacy one; the
    # workers inherit this filter from the environment.
    saved = os.environ.get("PYTHONWARNINGS")
    os.environ["PYTHONWARNINGS"] = "ignore::FutureWarning"
    try:
        ours, theirs, frame_q, times = dask_runs(vals, qs, reps)
    finally:
        if saved is None:
            del os.environ["PYTHONWARNINGS"]
        else:
            os.environ["PYTHONWARNINGS"] = saved
    cfgs = list(ours)
    first = ours[cfgs[0]]
    identical = all(np.array_equal(ours[c].view(np.uint64), first.view(np.uint64))
                    for c in cfgs)
    same_one = bool(np.array_equal(first.view(np.uint64), one.view(np.uint64)))
    ok, rel = within(first, exact)
    spread = {}
    for label, res in (("da.percentile", theirs), ("dd Series.quantile", frame_q)):
        stack = np.array([res[c] for c in cfgs])
        spread[label] = (stack.max(0) - stack.min(0)) / np.abs(exact)
    by_workers = all(np.array_equal(theirs[(w, p)], theirs[(DASK_WORKERS[0], p)])
                     for w, p in cfgs)

    # The q table: exact, vornel (every configuration), dask's per chunking, and the spread.
    head = ["q", "exact (lower)", "vornel, all 6", "rel. err"] + [
        f"da.percentile, {p} chunks" for p in DASK_PARTS] + ["da.percentile spread",
                                                             "dd quantile spread"]
    rows = []
    w0 = DASK_WORKERS[0]
    for i, q in enumerate(qs):
        rows.append([f"{q:g}", f"{exact[i]:.6g}", f"{first[i]:.6g}",
                     f"{abs(first[i] - exact[i]) / exact[i]:.4f}"]
                    + [f"{theirs[(w0, p)][i]:.6g}" for p in DASK_PARTS]
                    + [f"{spread['da.percentile'][i]:.2%}",
                       f"{spread['dd Series.quantile'][i]:.2%}"])
    widths = [max(len(h), *(len(r[j]) for r in rows)) + 2 for j, h in enumerate(head)]
    print("".join(f"{h:>{wd}}" for h, wd in zip(head, widths)))
    for r in rows:
        print("".join(f"{c:>{wd}}" for c, wd in zip(r, widths)))
    print(f"identical: {'yes' if identical else 'NO'} (vornel.dask.quantiles over "
          f"{', '.join(map(str, DASK_PARTS))} chunks on {' and '.join(map(str, DASK_WORKERS))} "
          f"workers, bit for bit); the same as one QuantileSketch over all values: "
          f"{'yes' if same_one else 'NO'}")
    print(f"da.percentile: the same on 1 and 2 workers for a given chunking: "
          f"{'yes' if by_workers else 'no'}; largest spread across chunkings "
          f"{spread['da.percentile'].max():.2%} of x_q (dd quantile "
          f"{spread['dd Series.quantile'].max():.2%})")
    checks = [
        (f"vornel.dask.quantiles identical on {len(cfgs)} configurations (chunks x workers)",
         identical),
        ("vornel.dask.quantiles the same as one QuantileSketch over all values", same_one),
        (f"vornel.dask.quantiles within {ALPHA} of the exact (method=\"lower\") ones (largest "
         f"{rel:.4g})", ok),
    ]
    for label, c_ok in checks:
        print(f"  {nat.mark(c_ok)} {label}")
    print()
    trows = []
    for c in cfgs:
        t = times[c]
        trows.append([c[0], c[1], f"{t['vornel.dask.quantiles']:.3f}",
                      f"{t['da.percentile']:.3f}", f"{t['dd Series.quantile']:.3f}",
                      f"{t['ratio']:.2f}"])
    md = (f"n = {n:,} lognormal values (sigma 2, seeded) cut into "
          f"{', '.join(map(str, DASK_PARTS))} near-equal chunks, chunk i scattered to worker i mod w of a LocalCluster of w = "
          f"{' or '.join(map(str, DASK_WORKERS))} worker processes (1 thread each) and "
          f"persisted. `vornel.dask.quantiles(x, qs)` (relative_accuracy={ALPHA}) against "
          f"dask {dask.__version__}'s own `da.percentile(x, 100 qs)` and dask DataFrame "
          f"`from_dask_array(x).quantile(qs)`, over the same chunks. Exact: "
          f"np.quantile(method=\"lower\") over all values; spread: (largest - smallest answer "
          f"over the {len(cfgs)} configurations) / x_q; dask's answers shown are those on "
          f"{w0} workers"
          + (" (the same on 1)" if by_workers else "") + ".\n\n"
          + rep.md_table(head, rows)
          + f"\n- identical: {'yes' if identical else 'NO'}: vornel's answers are the same, bit "
            f"for bit, on all {len(cfgs)} configurations, and the same as one QuantileSketch "
            f"over all values: {'yes' if same_one else 'NO'}\n"
          + f"- {nat.mark(ok)} check: vornel within {ALPHA} of the exact quantiles (largest "
            f"relative error {rel:.4g})\n"
          + f"- dask's answers move with the chunking: da.percentile by up to "
            f"{spread['da.percentile'].max():.2%} of x_q, dd quantile by up to "
            f"{spread['dd Series.quantile'].max():.2%}\n\n"
          + f"Wall seconds per call, median of {reps} interleaved rounds (each after the "
            f"scheduler has released the previous call's tasks); the ratio is the median "
            f"within a round:\n\n"
          + rep.md_table(["workers", "chunks", "vornel.dask.quantiles", "da.percentile",
                          "dd quantile", "da.percentile / vornel"], trows))
    plot = {"qs": qs, "exact": exact, "vornel": first,
            "dask": {p: theirs[(w0, p)] for p in DASK_PARTS}}
    return Part("Dask: the same quantiles for any chunking", md, checks=checks,
                plots={"dask": plot})


def plot_peers(plots):
    plt = rep.pyplot()
    if plt is None or not plots:
        return ""
    panels = [k for k in ("describe", "cli", "dask") if k in plots]
    fig, axes = plt.subplots(1, len(panels), figsize=(5.0 * len(panels), 4.8))
    axes = np.atleast_1d(axes)
    for ax, name in zip(axes, panels):
        data = plots[name]
        if name == "describe":
            peers = ["vornel", "vornel, no q", "pandas", "Polars"]
            kinds = list(data)
            y = np.arange(len(kinds))
            h = 0.8 / len(peers)
            for i, p in enumerate(peers):
                ax.barh(y + i * h, [data[k][p] for k in kinds], h, label=p,
                        color=["tab:blue", "tab:cyan", "tab:gray", "tab:orange"][i])
            ax.set_yticks(y + h * (len(peers) - 1) / 2, kinds, fontsize="small")
            ax.invert_yaxis()
            ax.set_xlim(0, 1.45 * max(data[k][p] for k in kinds for p in peers))
            ax.set_xlabel("seconds, in memory")
            ax.set_title("describe + 3 quantiles, a DataFrame", fontsize="medium")
            ax.legend(fontsize="x-small", loc="lower right")
        elif name == "cli":
            tools = list(data)
            ax.barh(tools, [data[t] for t in tools],
                    color=[{"vornel -q": "tab:blue", "vornel": "tab:cyan"}.get(t, "tab:gray")
                           for t in tools])
            ax.invert_yaxis()
            ax.set_xlabel("seconds, whole process")
            ax.set_title("describe -q, CSV, 1,000 stations", fontsize="medium")
        else:
            qs, exact = data["qs"], data["exact"]
            x = np.arange(len(qs))
            ax.plot(x, (data["vornel"] - exact) / exact, "o-", color="tab:blue",
                    label="vornel, any chunking")
            for (p, res), color in zip(data["dask"].items(),
                                       ("tab:orange", "tab:green", "tab:red", "tab:purple")):
                ax.plot(x, (res - exact) / exact, "s--", color=color,
                        label=f"da.percentile, {p} chunks")
            ax.axhline(0.0, color="black", linewidth=0.6)
            ax.set_xticks(x, [f"{q:g}" for q in qs], fontsize="small")
            ax.set_xlabel("q")
            ax.set_ylabel("(answer - x_q) / x_q")
            ax.set_title("Dask: answers by chunking", fontsize="medium")
            ax.legend(fontsize="x-small")
    return "\n" + rep.save_plot(fig, "sketch-peers")


def write_peer_docs(args, parts):
    body = ""
    for p in parts:
        body += f"### {p.title[0].upper() + p.title[1:]}\n\n{p.md.rstrip()}\n\n"
    targets = [t for p in parts for t in p.targets]
    checks = [c for p in parts for c in p.checks]
    body += ("### Targets\n\n"
             + rep.md_table(["case", "measure", "value", "target", ""],
                            [[case, what, f"{v:.2f}", want, nat.verdict(ok)]
                             for case, what, v, want, ok in targets])
             + f"\nChecks: {sum(ok for _, ok in checks)} of {len(checks)} passed.\n")
    body += plot_peers({k: v for p in parts for k, v in p.plots.items()})
    rep.write_section("sketch-peers", "Quantiles against their peers: describe, the command "
                      "line, Dask", body, script="sketch")


# --------------------------------------------------------------------------- report

# (name, function): each takes (args, ctx) and returns a Part; more sections go here.
SECTIONS = [("single", single), ("grouped", grouped), ("accuracy", accuracy),
            ("memory", memory), ("describe", describe_section), ("cli", cli_section),
            ("dask", dask_section)]


def plot_accuracy(plot, n):
    plt = rep.pyplot()
    if plt is None or not plot:
        return ""
    cases = list(plot)
    names = ["vornel", "ddsketch", "DuckDB", "fastdigest"]
    names = [nm for nm in names if any(nm in plot[c] for c in cases)]
    fig, ax = plt.subplots(figsize=(8.0, 3.8))
    width = 0.8 / len(names)
    top = 10.0  # errors beyond are drawn clipped, their value written above
    for i, nm in enumerate(names):
        xs = [c + i * width for c in range(len(cases))]
        ys = [plot[c].get(nm, float("nan")) for c in cases]
        ax.bar(xs, [min(y, top) for y in ys], width, label=nm)
        for x, y in zip(xs, ys):
            if y > top:
                ax.text(x, top, f"{y:.0e}", ha="center", va="bottom", fontsize="x-small")
    ax.set_ylim(1e-5, top * 4)
    ax.axhline(ALPHA, color="black", linewidth=0.8, linestyle="--", label=f"{ALPHA}")
    ax.set_xticks([c + width * (len(names) - 1) / 2 for c in range(len(cases))], cases,
                  fontsize="small", rotation=15)
    ax.set_yscale("log")
    ax.set_ylabel("max relative error (log scale)")
    ax.set_title(f"Quantile error over nine q, n = {n:,}")
    ax.legend(fontsize="small")
    return "\n" + rep.save_plot(fig, "sketch-accuracy")


def write_docs(args, parts):
    body = ""
    for p in parts:
        body += f"### {p.title[0].upper() + p.title[1:]}\n\n{p.md.rstrip()}\n\n"
        body += "".join(f"- {note}\n" for note in p.notes)
    targets = [t for p in parts for t in p.targets]
    checks = [c for p in parts for c in p.checks]
    body += ("### Targets\n\n"
             + rep.md_table(["case", "measure", "value", "target", ""],
                            [[case, what, f"{v:.3f}" if v < 10 else f"{v:.1f}", want,
                              nat.verdict(ok)] for case, what, v, want, ok in targets])
             + f"\nChecks: {sum(ok for _, ok in checks)} of {len(checks)} passed.\n")
    speed = {case: per for p in parts for case, per in p.speed.items()}
    if speed:
        body += rep.bar_plot(speed, "sketch", "add, CPU ns per value", size=(6.4, 3.6))
    errs = {case: per for p in parts for case, per in p.errors.items()}
    if errs:
        body += plot_accuracy(errs, args.accuracy_n)
    rep.write_section("sketch", "Quantile sketches: QuantileSketch, GroupedQuantileSketch", body)


# (docs section, the sections it reports, its writer)
DOCS = [("sketch", ["single", "grouped", "accuracy", "memory"], write_docs),
        ("sketch-peers", ["describe", "cli", "dask"], write_peer_docs)]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="small sizes, few repeats (smoke test)")
    ap.add_argument("--sections", default=",".join(name for name, _ in SECTIONS),
                    help="comma-separated sections to run (default: all)")
    ap.add_argument("--n", type=int, help="values in the add sections (default 10^7)")
    ap.add_argument("--groups", type=int, default=1000, help="groups in the grouped add (1000)")
    ap.add_argument("--repeats", type=int, help="rounds of the add sections (default 41)")
    ap.add_argument("--accuracy-n", type=int, help="values per accuracy data set (10^6)")
    ap.add_argument("--speed-n", type=int, help="values in the speed race with the peers (10^6)")
    ap.add_argument("--speed-repeats", type=int, help="rounds of that race (default 5)")
    ap.add_argument("--mem-groups", type=int, help="groups in the memory section (10^6)")
    ap.add_argument("--mem-n", type=int, help="values in the memory section (10^7)")
    ap.add_argument("--table-n", type=int, help="rows of the in-memory describe (10^7)")
    ap.add_argument("--table-repeats", type=int, help="rounds of the in-memory describe (15)")
    ap.add_argument("--cli-n", type=int, help="rows of the telemetry CSV (10^7)")
    ap.add_argument("--cli-rounds", type=int, help="rounds of the whole processes (25)")
    ap.add_argument("--dask-n", type=int, help="values in the Dask section (10^7)")
    ap.add_argument("--dask-repeats", type=int, help="rounds per Dask configuration (9)")
    ap.add_argument("--no-docs", action="store_true", help="print only, write nothing")
    ap.add_argument("--memory-probe", nargs=4, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.memory_probe:
        kind, g, n, chunks = args.memory_probe
        return memory_probe(kind, int(g), int(n), int(chunks))

    q = args.quick
    defaults = {"n": 10**6 if q else 10**7, "repeats": 5 if q else 41,
                "accuracy_n": 10**5 if q else 10**6, "speed_n": 10**4 if q else 10**6,
                "speed_repeats": 3 if q else 5, "mem_groups": 10**5 if q else 10**6,
                "table_n": 10**6 if q else 10**7, "table_repeats": 3 if q else 15,
                "cli_n": 10**6 if q else 10**7, "cli_rounds": 2 if q else 25,
                "dask_n": 10**6 if q else 10**7, "dask_repeats": 3 if q else 9}
    for key, v in defaults.items():
        if getattr(args, key) is None:
            setattr(args, key, v)
    if args.mem_n is None:
        args.mem_n = 10 * args.mem_groups
    wanted = [s.strip() for s in args.sections.split(",") if s.strip()]
    unknown = set(wanted) - {name for name, _ in SECTIONS}
    if unknown:
        ap.error(f"unknown sections: {', '.join(sorted(unknown))}")

    lib = nat.load_sketch_floors()
    ctx = {"floors": lib, "k": lib.sketch_k(ALPHA), "peers": peers()}
    print("vornel sketch benchmark; peers: " + ", ".join(
        f"{name} {version(mod)}" if mod else f"{name} skipped ({why})"
        for name, (mod, why) in ctx["peers"].items()))
    print()
    done = {name: fn(args, ctx) for name, fn in SECTIONS if name in wanted}
    parts = list(done.values())

    targets = [t for p in parts for t in p.targets]
    checks = [c for p in parts for c in p.checks]
    print("targets")
    width = max([40, *(len(t[0]) + 2 for t in targets)])
    for case, what, v, want, ok in targets:
        print(f"  {case:<{width}}{what:<16}{v:10.3f}  {want:<8} {nat.verdict(ok)}")
    print("checks")
    for label, ok in checks:
        print(f"  {nat.mark(ok)} {label}")
    if args.no_docs:
        return 0
    # A docs section is written only by a run of every benchmark section it reports.
    for doc, names, writer in DOCS:
        if all(name in done for name in names):
            writer(args, [done[name] for name in names])
        else:
            print(f"docs section '{doc}' not written: it needs the sections "
                  f"{', '.join(names)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
