"""Benchmark of vornel.parallel against one add_values / add call, measured in one run.

Times stream_stats and grouped_stats (int64 ids, G = 1000) over n float64 values for
threads = 1, 2, ... up to max(4, CPUs), against a single CyStreamStats.add_values and a
single CyGroupedStreamStats.add over the whole buffer. Figures are medians of repeated runs
with peers interleaved round by round. Checks that counts, minima and maxima equal the
sequential ones exactly, and measures the machine's own ceiling: the speed-up of
independent processes, which share nothing. Writes its tables into docs/benchmarks.md and its plot into
docs/img/parallel.png.

Run:  tools/devenv run python bench/parallel.py [--quick]
"""

import argparse
import os
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import _native as nat  # noqa: E402
import _report as rep  # noqa: E402
from vornel import CyGroupedStreamStats, CyStreamStats  # noqa: E402
from vornel.parallel import grouped_stats, stream_stats  # noqa: E402

TARGET = 1.8  # one call / parallel at threads = CPUs, at least (2-core machine)
G = 1000


def one_add(vals):
    s = CyStreamStats()
    s.add_values(vals)
    return s


def one_grouped(ids, vals):
    g = CyGroupedStreamStats(G)
    g.add(ids, vals)
    return g


def probe(n, repeats):
    """Child process: median seconds of one add_values over n values, after a start signal
    on stdin, so all children time the same interval."""
    vals = np.random.default_rng(1).standard_normal(n)
    sys.stdout.write("ready\n")
    sys.stdout.flush()
    sys.stdin.readline()
    runs = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        one_add(vals)
        runs.append(time.perf_counter() - t0)
    print(float(np.median(runs)))


def process_ceiling(n, k, repeats):
    """Speed-up of k processes, each adding n / k values, over one adding n: what the
    machine itself gives to k independent workers, with no shared interpreter at all."""
    def launch(count, size):
        procs = [subprocess.Popen([sys.executable, os.path.abspath(__file__), "--probe",
                                   str(size), str(repeats)], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, text=True) for _ in range(count)]
        for p in procs:
            p.stdout.readline()
        for p in procs:
            p.stdin.write("go\n")
            p.stdin.flush()
        return max(float(p.communicate()[0]) for p in procs)

    return launch(1, n) / launch(k, n // k)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="n = 10^6, 3 repeats (smoke test)")
    ap.add_argument("--no-docs", action="store_true", help="print only, write nothing")
    ap.add_argument("--probe", nargs=2, type=int, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.probe:
        return probe(*args.probe)
    n = 10**6 if args.quick else 10**7
    repeats = 3 if args.quick else 7
    cpus = getattr(os, "process_cpu_count", os.cpu_count)() or 1
    counts = list(range(1, max(4, cpus) + 1))

    rng = np.random.default_rng(99)
    vals = rng.standard_normal(n) * 3.0 + 1.0
    ids = rng.integers(0, G, n)

    print(f"vornel parallel benchmark: n = {n:,} float64, {cpus} CPUs, median of {repeats} "
          f"runs, peers interleaved")
    sections = []
    curves = {}
    verdicts = []
    for kind in ("stream", "grouped"):
        if kind == "stream":
            peers = {"one call": (lambda: None, lambda _: one_add(vals))}
            for t in counts:
                peers[t] = (lambda: None, lambda _, t=t: stream_stats(vals, threads=t))
        else:
            peers = {"one call": (lambda: None, lambda _: one_grouped(ids, vals))}
            for t in counts:
                peers[t] = (lambda: None,
                            lambda _, t=t: grouped_stats(ids, vals, G, threads=t))
        times = nat.interleaved(peers, repeats)
        base = times["one call"]
        label = ("stream_stats vs CyStreamStats.add_values" if kind == "stream" else
                 f"grouped_stats vs CyGroupedStreamStats.add (int64 ids, G = {G})")
        print(f"\n{label}")
        print(f"{'threads':>8}{'ns/element':>12}{'speed-up':>10}")
        rows = [["one call", f"{base / n:.3f}", "1.00"]]
        print(f"{'one call':>8}{base / n:12.3f}{1.0:10.2f}")
        for t in counts:
            print(f"{t:>8}{times[t] / n:12.3f}{base / times[t]:10.2f}")
            rows.append([str(t), f"{times[t] / n:.3f}", f"{base / times[t]:.2f}"])
        curves[kind] = (base / n, [times[t] / n for t in counts])
        at = min(cpus, counts[-1])
        speedup = base / times[at]
        verdicts.append((f"{kind}, threads = {at}", speedup, speedup >= TARGET))
        sections.append(f"### {label}\n\n" + rep.md_table(["threads", "ns/element",
                                                            "speed-up over one call"], rows))

    # Exactness of the parts that must not depend on the split.
    seq, par = one_add(vals).result(), stream_stats(vals, threads=cpus).result()
    g_seq = one_grouped(ids, vals).result_arrays()
    g_par = grouped_stats(ids, vals, G, threads=cpus).result_arrays()
    exact = all(seq[k] == par[k] for k in ("count", "min", "max")) and all(
        g_seq[k] == g_par[k] for k in ("count", "min", "max"))
    ceiling = process_ceiling(n, cpus, repeats) if cpus > 1 else 1.0
    print(f"\nmachine ceiling: {cpus} independent processes, each adding n / {cpus} values, "
          f"run {ceiling:.2f}x faster than one process adding n")
    print()
    for what, s, ok in verdicts:
        print(f"target {what}: speed-up {s:.2f} >= {TARGET}  {nat.verdict(ok)}")
    print(f"counts, minima and maxima equal to one call: {nat.mark(exact)}")
    if args.no_docs:
        return 0

    body = (f"n = {n:,} float64 values (standard normal), {repeats} rounds, medians; "
            f"speed-up = time of one call / time of the parallel call.\n\n"
            + "\n".join(sections) + "\n"
            + "".join(f"- {what}: speed-up {s:.2f}, target ≥ {TARGET}: {nat.verdict(ok)}\n"
                      for what, s, ok in verdicts)
            + f"- counts, minima and maxima equal to one call: {'yes' if exact else 'NO'}\n"
            + f"- machine ceiling: {cpus} independent processes, each adding n / {cpus} "
              f"values with one add_values call, ran {ceiling:.2f}× faster than one process "
              f"adding all n; no thread pool can beat this figure on the same machine.\n")
    plt = rep.pyplot()
    if plt is not None:
        fig, ax = plt.subplots(figsize=(6.4, 4.0))
        for kind, (base, curve) in curves.items():
            line, = ax.plot(counts, curve, marker="o", label=f"{kind}_stats")
            ax.axhline(base, color=line.get_color(), linestyle="--",
                       label=f"one {'add_values' if kind == 'stream' else 'add'} call")
        ax.set_xlabel("threads")
        ax.set_ylabel("ns per element")
        ax.set_xticks(counts)
        ax.set_ylim(bottom=0)
        ax.set_title(f"vornel.parallel, n = {n:,}, {cpus} CPUs")
        ax.legend()
        body += "\n" + rep.save_plot(fig, "parallel")
    rep.write_section("parallel", "Threads: vornel.parallel", body)
    return 0


if __name__ == "__main__":
    sys.exit(main())
