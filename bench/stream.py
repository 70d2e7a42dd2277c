# numba peer (optional): tools/devenv run python3.14 -m pip install --break-system-packages --no-deps --target build/bench-site numba llvmlite
"""Benchmark of CyStreamStats.add_values against its peers, measured in one run.

Measures ns per element of the buffer path (contiguous, reversed and every-second-element
views) against the floor, a minimal C++ loop of the same update step compiled here at run
time (-O2 -ffp-contract=off, with and without -fno-tree-slp-vectorize; the faster counts),
and against NumPy (sum, var, min, max) and a numba Welford loop where numba is importable.
Also measures the iterable path over a list of floats, the cost of one call on a
one-element array against arr.sum(), and the memory the buffer path allocates. Every
figure is the median of repeated runs, with peers interleaved round by round; other load
on the machine still shows up as noise. Checks that the floor's record and vornel's
result agree bit for bit. Writes its tables into docs/benchmarks.md and its plot into
docs/img/stream.png.

Run:  tools/devenv run env PYTHONPATH=build/site python3.14 bench/stream.py [--quick]
"""

import argparse
import array
import gc
import math
import os
import resource
import subprocess
import sys
import timeit
import tracemalloc

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import _native as nat  # noqa: E402
import _report as rep  # noqa: E402
from vornel._cycore import CyStreamStats  # noqa: E402

TARGETS = {"contiguous": 1.05, "reversed": 1.10, "step-2": 1.10}
LIST_TARGET = 1.5
CALL_TARGET = 0.15


def vornel_add(view):
    s = CyStreamStats()
    s.add_values(view)
    return s


def numpy_stats(a):
    # NumPy's fastest route to the same seven statistics.
    n = a.shape[0]
    total = a.sum()
    var = a.var()
    return n, total, total / n, a.min(), a.max(), var, math.sqrt(var)


def make_numba_welford(numba):
    dbl_max = nat.DBL_MAX

    @numba.njit(error_model="numpy")
    def welford(a):
        count = 0
        total = 0.0
        mean = 0.0
        m2 = 0.0
        mn = dbl_max
        mx = -dbl_max
        for i in range(a.shape[0]):
            x = a[i]
            count += 1
            total = total + x
            if mn > x:
                mn = x
            if x > mx:
                mx = x
            delta = x - mean
            mean = mean + delta / count
            m2 = m2 + (x - mean) * delta
        return count, total, mean, m2, mn, mx

    return welford


def numba_as_record(t):
    rec = nat.fresh_records(1)
    for name, v in zip(nat.REC.names, t):
        rec[name] = v
    return rec


def rss_probe(n):
    """Child process: ru_maxrss growth (KiB) across add_values on a fresh array of n."""
    a = np.random.default_rng(1).standard_normal(n)
    s = CyStreamStats()
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    s.add_values(a)
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(after - before)


def traced_peak(fn):
    """Peak bytes traced by tracemalloc while fn() runs, less the probe's own overhead."""

    def probe(f):
        gc.collect()
        tracemalloc.start()
        try:
            tracemalloc.reset_peak()
            base = tracemalloc.get_traced_memory()[0]
            f()
            return tracemalloc.get_traced_memory()[1] - base
        finally:
            tracemalloc.stop()

    return probe(fn) - probe(lambda: None)


def export_and_release(obj):
    with memoryview(obj):
        pass


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="n = 10^6, 3 repeats (smoke test)")
    ap.add_argument("--rss-probe", type=int, metavar="N", help=argparse.SUPPRESS)
    ap.add_argument("--no-docs", action="store_true", help="print only, write nothing")
    args = ap.parse_args()
    if args.rss_probe:
        return rss_probe(args.rss_probe)

    n = 10**6 if args.quick else 10**7
    repeats = 3 if args.quick else 7
    calls = 20_000 if args.quick else 200_000

    floors = nat.load_stream_floors()
    numba, why = nat.import_numba()
    welford = make_numba_welford(numba) if numba else None

    a = np.random.default_rng(12345).standard_normal(n) * 3.0 + 1.0
    views = {"contiguous": a, "reversed": a[::-1], "step-2": a[::2]}
    if welford:
        for v in views.values():  # compile each layout before timing
            welford(v[:16])

    print(f"vornel stream benchmark: n = {n:,} float64, median of {repeats} runs, "
          f"peers interleaved")
    print(f"numba: {'numba ' + numba.__version__ if numba else 'not available (' + why + ')'}")
    print()
    print("ns per element; floor = faster of floor:slp (-O2 -ffp-contract=off) and "
          "floor:noslp (same + -fno-tree-slp-vectorize)")
    hdr = (f"{'case':<12}{'elements':>12}{'vornel':>9}{'floor:slp':>11}{'floor:noslp':>13}"
           f"{'numpy':>9}{'numba':>9}{'vornel/floor':>14}{'target':>9}  {'':6}"
           f"{'bits':>5}")
    print(hdr)
    print("-" * len(hdr))
    checks = []
    table, notes, plot = [], [], {}
    for case, v in views.items():
        m = v.shape[0]
        peers = {
            "vornel": (lambda: None, lambda _, v=v: vornel_add(v)),
            "slp": (nat.fresh_records, lambda r, v=v: nat.run_floor(floors["slp"], v, r)),
            "noslp": (nat.fresh_records, lambda r, v=v: nat.run_floor(floors["noslp"], v, r)),
            "numpy": (lambda: None, lambda _, v=v: numpy_stats(v)),
        }
        if welford:
            peers["numba"] = (lambda: None, lambda _, v=v: welford(v))
        t = nat.interleaved(peers, repeats)
        floor = min(t["slp"], t["noslp"])
        ratio = t["vornel"] / floor
        res = vornel_add(v).result()
        ok_bits = all(nat.same_as_result(nat.run_floor(f, v), res) for f in floors.values())
        checks.append((f"floor vs vornel, {case}", ok_bits))
        if welford:
            checks.append((f"numba vs vornel, {case}",
                           nat.same_as_result(numba_as_record(welford(v)), res)))
        nb = f"{t['numba'] / m:9.2f}" if welford else f"{'-':>9}"
        want = f"<= {TARGETS[case]:.2f}"
        print(f"{case:<12}{m:>12,}{t['vornel'] / m:9.2f}{t['slp'] / m:11.2f}"
              f"{t['noslp'] / m:13.2f}{t['numpy'] / m:9.2f}{nb}{ratio:14.3f}{want:>9}  "
              f"{nat.verdict(ratio <= TARGETS[case]):6}{nat.mark(ok_bits):>5}")
        table.append([case, f"{m:,}", f"{t['vornel'] / m:.2f}", f"{floor / m:.2f}",
                      f"{t['numpy'] / m:.2f}", nb.strip(), f"{ratio:.3f}", want,
                      nat.verdict(ratio <= TARGETS[case]), nat.mark(ok_bits)])
        plot[case] = {"vornel": t["vornel"] / m, "floor": floor / m, "numpy": t["numpy"] / m}
        if welford:
            plot[case]["numba"] = t["numba"] / m
    print()

    # Iterable path: an exact list of floats against the buffer path on the same values.
    lst = a.tolist()
    t = nat.interleaved({"list": (lambda: None, lambda _: vornel_add(lst)),
                         "buffer": (lambda: None, lambda _: vornel_add(a))}, repeats)
    ratio = t["list"] / t["buffer"]
    same = vornel_add(lst).result() == vornel_add(a).result()
    checks.append(("list vs buffer path", same))
    print(f"iterable path, list of {n:,} floats: {t['list'] / n:.2f} ns/element; "
          f"buffer path {t['buffer'] / n:.2f} ns/element")
    print(f"  list/buffer = {ratio:.3f}   target <= {LIST_TARGET}   {nat.verdict(ratio <= LIST_TARGET)}")
    notes.append(f"iterable path, list of {n:,} floats: {t['list'] / n:.2f} ns/element, "
                 f"buffer path {t['buffer'] / n:.2f}; list/buffer {ratio:.3f}, target "
                 f"≤ {LIST_TARGET}: {nat.verdict(ratio <= LIST_TARGET)}")
    del lst
    gc.collect()
    print()

    # One call on a one-element array: the fixed cost of add_values against NumPy's.
    one = np.array([1.5])
    s = CyStreamStats()
    g = {"s": s, "one": one}
    per = {}
    for label, stmt in (("add_values", "s.add_values(one)"), ("sum", "one.sum()")):
        runs = timeit.Timer(stmt, globals=g).repeat(repeat=repeats, number=calls)
        per[label] = float(np.median(runs)) / calls * 1e9
    ratio = per["add_values"] / per["sum"]
    print(f"one-element call ({calls:,} calls per run): s.add_values(a1) "
          f"{per['add_values']:.1f} ns/call; a1.sum() {per['sum']:.1f} ns/call")
    print(f"  add_values/sum = {ratio:.3f}   target <= {CALL_TARGET}   "
          f"{nat.verdict(ratio <= CALL_TARGET)}")
    notes.append(f"one-element call: add_values {per['add_values']:.1f} ns, a1.sum() "
                 f"{per['sum']:.1f} ns; ratio {ratio:.3f}, target ≤ {CALL_TARGET}: "
                 f"{nat.verdict(ratio <= CALL_TARGET)}")
    print()

    # Memory: the buffer path must allocate nothing, whatever n is. An ndarray export makes
    # NumPy allocate a small buffer-info block of its own (freed at release); exporters that
    # allocate nothing (array.array, an already exported memoryview) isolate vornel's part.
    print("memory of one add_values call: peak bytes traced by tracemalloc (net of the probe), "
          "and ru_maxrss growth in a fresh process")
    print(f"{'elements':>12}{'ndarray B':>11}{'array.array B':>15}{'memoryview B':>14}"
          f"{'ru_maxrss growth KiB':>22}")
    sizes = [10**5, 10**6] if args.quick else [10**6, 10**7]
    seen = []
    for size in sizes:
        arr = np.random.default_rng(2).standard_normal(size)
        plain = array.array("d")
        plain.frombytes(arr.tobytes())
        mv = memoryview(arr)
        s = CyStreamStats()
        row = [traced_peak(lambda: s.add_values(x)) for x in (arr, plain, mv)]
        mv.release()
        del arr, plain
        child = subprocess.run([sys.executable, os.path.abspath(__file__), "--rss-probe",
                                str(size)], capture_output=True, text=True, check=True)
        rss = int(child.stdout.strip())
        seen.append(row + [rss])
        print(f"{size:>12,}{row[0]:>11,}{row[1]:>15,}{row[2]:>14,}{rss:>22,}")
    alloc_ok = (all(r[1] == 0 and r[2] == 0 and r[3] == 0 for r in seen)
                and len({r[0] for r in seen}) == 1)
    print(f"  target: vornel allocates nothing (0 B through array.array and memoryview, "
          f"ndarray bytes the same at every n): {nat.verdict(alloc_ok)}")
    notes.append("memory: peak traced bytes per call (ndarray, array.array, memoryview) and "
                 "ru_maxrss growth: " + "; ".join(
                     f"n = {size:,}: {r[0]:,} B, {r[1]:,} B, {r[2]:,} B, {r[3]:,} KiB"
                     for size, r in zip(sizes, seen))
                 + f"; allocates nothing: {nat.verdict(alloc_ok)}")
    print()

    print("bit-identical records (count, sum, mean, min, max, var, std):")
    for label, ok in checks:
        print(f"  {nat.mark(ok)} {label}")
    if not args.no_docs:
        write_docs(n, repeats, numba, table, notes, checks, plot)
    return 0


def write_docs(n, repeats, numba, table, notes, checks, plot):
    body = (f"n = {n:,} float64, median of {repeats} runs, peers interleaved; numba: "
            f"{numba.__version__ if numba else 'not available'}. floor = the faster of two "
            f"builds of a minimal C++ loop of the same update step.\n\n"
            + rep.md_table(["case", "elements", "vornel ns/el", "floor ns/el", "numpy ns/el",
                            "numba ns/el", "vornel/floor", "target", "", "bits"], table)
            + "\n" + "".join(f"- {note}\n" for note in notes)
            + f"- bit-identical records: {sum(ok for _, ok in checks)} of {len(checks)} "
              f"checks\n")
    body += rep.bar_plot(plot, "stream", f"CyStreamStats.add_values, n = {n:,}",
                         size=(6.4, 3.6))
    rep.write_section("stream", "One stream: CyStreamStats.add_values", body)


if __name__ == "__main__":
    sys.exit(main())
