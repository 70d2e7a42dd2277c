"""Benchmark of vornel.parallel against one call and against the machine's ceiling, in one run.

Times stream_stats and grouped_stats (int64 ids, G = 1000) over n float64 values for
threads = 1, 2, ... up to max(4, CPUs), against a single CyStreamStats.add_values and a
single CyGroupedStreamStats.add over the whole buffer. In the same rounds it times the
ceiling of each loop: k = CPUs child processes, each holding n / k values of its own and
started by one signal, against one child holding all n (wall time from the signal to the
last child's answer, as a parallel call is timed from its start to its return); and k bare
threads, started before the round, each making one call over n / k values. Figures are
medians of repeated runs with all peers interleaved round by round, so load from elsewhere
hits every peer alike. Checks that counts, minima and maxima equal the sequential ones
exactly. Writes its tables into docs/benchmarks.md and its plot into docs/img/parallel.png.

Run:  tools/devenv run python bench/parallel.py [--quick] [--repeats N]
"""

import argparse
import os
import resource
import subprocess
import sys
import threading
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import _native as nat  # noqa: E402
import _report as rep  # noqa: E402
from vornel import CyGroupedStreamStats, CyStreamStats  # noqa: E402
from vornel.parallel import grouped_stats, stream_stats  # noqa: E402

TARGET = 1.8  # one call / parallel at threads = CPUs, at least (2-core machine)
G = 1000
KINDS = ("stream", "grouped")


def make_data(n, seed):
    rng = np.random.default_rng(seed)
    return rng.integers(0, G, n), rng.standard_normal(n) * 3.0 + 1.0


def one_call(kind, ids, vals):
    if kind == "stream":
        s = CyStreamStats()
        s.add_values(vals)
        return s
    g = CyGroupedStreamStats(G)
    g.add(ids, vals)
    return g


def child(kind, n):
    """Child process: holds n values of its own; makes one call per line read from stdin
    and answers each when done, until stdin closes."""
    ids, vals = make_data(n, os.getpid())
    one_call(kind, ids, vals)  # first touch of the pages and the code, as the parent had
    sys.stdout.write("ready\n")
    sys.stdout.flush()
    while sys.stdin.readline():
        one_call(kind, ids, vals)
        sys.stdout.write("done\n")
        sys.stdout.flush()


class Children:
    """k child processes of one kind, each with n // k values, run together by run()."""

    def __init__(self, kind, n, k):
        cmd = [sys.executable, os.path.abspath(__file__), "--child", kind, str(n // k)]
        self.procs = [subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                       text=True) for _ in range(k)]
        for p in self.procs:
            if p.stdout.readline() != "ready\n":
                raise SystemExit(f"benchmark child failed: {' '.join(cmd)}")

    def run(self, _):
        for p in self.procs:
            p.stdin.write("go\n")
            p.stdin.flush()
        for p in self.procs:
            p.stdout.readline()

    def close(self):
        for p in self.procs:
            p.stdin.close()
            p.wait()


def cpu_seconds(children):
    """(busy CPU seconds of the whole machine, of this process and its children), or None
    where /proc/stat is missing: their difference is the load from elsewhere."""
    try:
        with open("/proc/stat") as f:
            ticks = [int(x) for x in f.readline().split()[1:9]]
        own = [resource.getrusage(who) for who in (resource.RUSAGE_SELF,
                                                   resource.RUSAGE_CHILDREN)]
        mine = sum(r.ru_utime + r.ru_stime for r in own)
        for p in children:  # running children are not in RUSAGE_CHILDREN yet
            with open(f"/proc/{p.pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            mine += (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except OSError:
        return None
    busy = sum(ticks) - ticks[3] - ticks[4]  # all but idle and iowait
    return busy / os.sysconf("SC_CLK_TCK"), mine


class BareThreads:
    """k - 1 threads parked on a barrier plus the caller, each making one call over its
    n / k slice: what threads give when nothing but the call itself runs in them."""

    def __init__(self, kind, ids, vals, k):
        size = len(vals) // k
        self.slices = [(ids[i * size:(i + 1) * size], vals[i * size:(i + 1) * size])
                       for i in range(k)]
        self.kind, self.k = kind, k

    def setup(self):
        self.start = threading.Barrier(self.k)
        self.threads = [threading.Thread(target=self.body, args=(i,))
                        for i in range(1, self.k)]
        for t in self.threads:
            t.start()

    def body(self, i):
        self.start.wait()
        one_call(self.kind, *self.slices[i])

    def run(self, _):
        self.body(0)
        for t in self.threads:
            t.join()


def peers_of(kind, ids, vals, counts, cpus, children):
    peers = {"one call": (lambda: None, lambda _: one_call(kind, ids, vals))}
    for t in counts:
        if kind == "stream":
            peers[t] = (lambda: None, lambda _, t=t: stream_stats(vals, threads=t))
        else:
            peers[t] = (lambda: None, lambda _, t=t: grouped_stats(ids, vals, G, threads=t))
    if cpus > 1:
        bare = BareThreads(kind, ids, vals, cpus)
        peers["bare threads"] = (bare.setup, bare.run)
        peers["1 process"] = (lambda: None, children[kind, 1].run)
        peers["processes"] = (lambda: None, children[kind, cpus].run)
    return peers


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="n = 10^6, 3 repeats (smoke test)")
    ap.add_argument("--no-docs", action="store_true", help="print only, write nothing")
    ap.add_argument("--repeats", type=int, help="rounds (default 7; 3 with --quick)")
    ap.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        return child(args.child[0], int(args.child[1]))
    n = 10**6 if args.quick else 10**7
    repeats = args.repeats or (3 if args.quick else 7)
    cpus = getattr(os, "process_cpu_count", os.cpu_count)() or 1
    counts = list(range(1, max(4, cpus) + 1))
    at = min(cpus, counts[-1])
    ids, vals = make_data(n, 99)

    print(f"vornel parallel benchmark: n = {n:,} float64, {cpus} CPUs, median of {repeats} "
          f"runs, peers interleaved")
    children = {}
    if cpus > 1:
        for kind in KINDS:
            for k in (1, cpus):
                children[kind, k] = Children(kind, n, k)
    procs = [p for c in children.values() for p in c.procs]
    try:
        peers = {}
        for kind in KINDS:
            for name, peer in peers_of(kind, ids, vals, counts, cpus, children).items():
                peers[kind, name] = peer
        before, t0 = cpu_seconds(procs), time.perf_counter()
        times = nat.interleaved(peers, repeats)
        after, wall = cpu_seconds(procs), time.perf_counter() - t0
    finally:
        for c in children.values():
            c.close()
    if before and after:
        other = max(0.0, (after[0] - before[0]) - (after[1] - before[1])) / (wall * cpus)
        quiet = f"other processes used {100 * other:.1f}% of the {cpus} CPUs during the rounds"
    else:
        quiet = "load from other processes unknown (no /proc/stat)"

    sections, curves, verdicts, ceilings = [], {}, [], []
    for kind in KINDS:
        base = times[kind, "one call"]
        label = ("stream_stats vs CyStreamStats.add_values" if kind == "stream" else
                 f"grouped_stats vs CyGroupedStreamStats.add (int64 ids, G = {G})")
        rows = [["one call", f"{base / n:.3f}", "1.00"]]
        rows += [[str(t), f"{times[kind, t] / n:.3f}", f"{base / times[kind, t]:.2f}"]
                 for t in counts]
        if cpus > 1:
            rows.append([f"{cpus} bare threads", f"{times[kind, 'bare threads'] / n:.3f}",
                         f"{base / times[kind, 'bare threads']:.2f}"])
            ceiling = times[kind, "1 process"] / times[kind, "processes"]
            rows.append([f"{cpus} processes", "", f"{ceiling:.2f} (over 1 process)"])
        else:
            ceiling = 1.0
        print(f"\n{label}\n{'threads':>20}{'ns/element':>12}  speed-up")
        for r in rows:
            print(f"{r[0]:>20}{r[1]:>12}  {r[2]}")
        curves[kind] = (base / n, [times[kind, t] / n for t in counts])
        speedup = base / times[kind, at]
        verdicts.append((f"{kind}, threads = {at}", speedup, speedup >= TARGET))
        ceilings.append((kind, speedup, ceiling))
        sections.append(f"### {label}\n\n" + rep.md_table(["threads", "ns/element",
                                                            "speed-up over one call"], rows))

    # Exactness of the parts that must not depend on the split.
    seq, par = one_call("stream", ids, vals).result(), stream_stats(vals, threads=cpus).result()
    g_seq = one_call("grouped", ids, vals).result_arrays()
    g_par = grouped_stats(ids, vals, G, threads=cpus).result_arrays()
    exact = all(seq[k] == par[k] for k in ("count", "min", "max")) and all(
        g_seq[k] == g_par[k] for k in ("count", "min", "max"))
    print()
    for what, s, ok in verdicts:
        print(f"target {what}: speed-up {s:.2f} >= {TARGET}  {nat.verdict(ok)}")
    for kind, s, c in ceilings:
        print(f"{kind}: {cpus} processes {c:.2f}x, threads = {at} {s:.2f}x: {s / c:.2f} of "
              f"the ceiling")
    print(f"counts, minima and maxima equal to one call: {nat.mark(exact)}")
    print(quiet)
    if args.no_docs:
        return 0

    body = (f"n = {n:,} float64 values (standard normal), {repeats} rounds, medians, all "
            f"peers interleaved; speed-up = time of one call / time of the parallel call. "
            f"Bare threads: {cpus} threads started before the round, each making one call "
            f"over n / {cpus} values. Processes: {cpus} child processes, each holding "
            f"n / {cpus} values of its own, against one child holding all n, timed from the "
            f"start signal to the last answer: the machine's ceiling for the loop, with "
            f"nothing shared.\n\n"
            + "\n".join(sections) + "\n"
            + "".join(f"- {what}: speed-up {s:.2f}, target ≥ {TARGET}: {nat.verdict(ok)}\n"
                      for what, s, ok in verdicts)
            + "".join(f"- {kind}: {cpus} processes ran {c:.2f}× faster than one; "
                      f"threads = {at} reach {s / c:.2f} of that ceiling\n"
                      for kind, s, c in ceilings)
            + f"- counts, minima and maxima equal to one call: {'yes' if exact else 'NO'}\n"
            + f"- {quiet}\n")
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
