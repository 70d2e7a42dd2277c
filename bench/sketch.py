"""Benchmark of the quantile sketches against their peers and floors, measured in one run.

Sections, each run by name (--sections) and each writing one part of the docs section:

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

Timed figures are CPU time of the process (all threads, user and system: a contender waiting
for a core shared with other load is not charged for the wait; the add sections also show
the wall-time ratio), medians of repeated rounds; each round runs every contender once, in
an order rotated by round, and ratios are the median of the ratios within a round (with
their quartiles), so that a burst of other load moves both sides of a ratio. Every call runs
on one thread (DuckDB is set to one). Other load still shows up as noise through the caches.
Peers that do not import are skipped and named in the tables. Writes its tables into
docs/benchmarks.md and its plots into docs/img/sketch.png and docs/img/sketch-accuracy.png.

Peers (not in the root): inside it, SSL_CERT_FILE=/etc/ssl/certs/host-ca.crt python3.14 -m
pip install --no-deps --target build/bench-peers ddsketch==3.0.1 six==1.17.0 fastdigest==0.12.0

Run:  tools/devenv run env PYTHONPATH=build/site:build/bench-peers python3.14 bench/sketch.py
      [--quick] [--sections single,grouped,accuracy,memory] [--n N] [--repeats R] [--no-docs]
"""

import argparse
import gc
import importlib
import importlib.metadata
import json
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


# --------------------------------------------------------------------------- report

# (name, function): each takes (args, ctx) and returns a Part; more sections go here.
SECTIONS = [("single", single), ("grouped", grouped), ("accuracy", accuracy),
            ("memory", memory)]


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
    ap.add_argument("--no-docs", action="store_true", help="print only, write nothing")
    ap.add_argument("--memory-probe", nargs=4, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.memory_probe:
        kind, g, n, chunks = args.memory_probe
        return memory_probe(kind, int(g), int(n), int(chunks))

    q = args.quick
    defaults = {"n": 10**6 if q else 10**7, "repeats": 5 if q else 41,
                "accuracy_n": 10**5 if q else 10**6, "speed_n": 10**4 if q else 10**6,
                "speed_repeats": 3 if q else 5, "mem_groups": 10**5 if q else 10**6}
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
    parts = [fn(args, ctx) for name, fn in SECTIONS if name in wanted]

    targets = [t for p in parts for t in p.targets]
    checks = [c for p in parts for c in p.checks]
    print("targets")
    for case, what, v, want, ok in targets:
        print(f"  {case:<40}{what:<16}{v:10.3f}  {want:<8} {nat.verdict(ok)}")
    print("checks")
    for label, ok in checks:
        print(f"  {nat.mark(ok)} {label}")
    if args.no_docs:
        return 0
    if len(parts) < len(SECTIONS):
        print("docs not written: only a full run (every section) writes its section")
        return 0
    write_docs(args, parts)
    return 0


if __name__ == "__main__":
    sys.exit(main())
