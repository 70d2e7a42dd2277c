"""Benchmark of `vornel describe` against GNU datamash on one grouped CSV, end to end.

Generates (once, cached under build/bench-data/) a CSV of n rows `group,value` with integer
group keys over G = 1000 groups in random order and float64 values, then times, as whole
commands from start to exit:

- `datamash -t, -s -H -g 1 count 2 mean 2 pstdev 2 min 2 max 2 < file`: datamash needs its
  input grouped, so -s sorts it first; this is the equivalent command for unsorted data;
- `python -m vornel describe file -g group -c value -f csv`: one pass, no sort, and all
  seven statistics (count, sum, mean, min, max, var, std) rather than five;
- for reference, datamash without -s on a copy of the file already sorted by group (its
  best case; the sort is not timed).

Output goes to a pipe that the benchmark reads; figures are medians of repeated runs with
the commands interleaved round by round. Checks that both tools agree on every group
(count exactly, the rest to datamash's printed precision). Writes its table into
docs/benchmarks.md and its plot into docs/img/datamash.png.

Run:  tools/devenv run python bench/datamash.py [--quick]
"""

import argparse
import csv
import io
import math
import os
import shutil
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import _native as nat  # noqa: E402
import _report as rep  # noqa: E402

TARGET = 1.5  # datamash (with -s) / vornel, at least
G = 1000
DATA = os.path.join(rep.REPO, "build", "bench-data")


def make_csv(n):
    """build/bench-data/grouped-<n>.csv and a copy sorted by group, made once."""
    os.makedirs(DATA, exist_ok=True)
    path = os.path.join(DATA, f"grouped-{n}.csv")
    sorted_path = os.path.join(DATA, f"grouped-{n}-sorted.csv")
    if os.path.exists(path) and os.path.exists(sorted_path):
        return path, sorted_path
    import pyarrow as pa
    import pyarrow.csv as pcsv

    rng = np.random.default_rng(31)
    groups = rng.integers(0, G, n)
    values = np.round(rng.normal(50.0 + groups / 20.0, 10.0), 6)
    opts = pcsv.WriteOptions(quoting_style="none")
    for p, order in ((path, None), (sorted_path, np.argsort(groups, kind="stable"))):
        g, v = (groups, values) if order is None else (groups[order], values[order])
        tmp = p + ".tmp"
        pcsv.write_csv(pa.table({"group": g, "value": v}), tmp, write_options=opts)
        os.replace(tmp, p)
    return path, sorted_path


def run(cmd, stdin_path=None):
    """Wall seconds of one command, and its output."""
    stdin = open(stdin_path, "rb") if stdin_path else subprocess.DEVNULL
    try:
        t0 = time.perf_counter()
        out = subprocess.run(cmd, stdin=stdin, capture_output=True, text=True, check=True)
        dt = time.perf_counter() - t0
    finally:
        if stdin_path:
            stdin.close()
    return dt, out.stdout


def parse_datamash(text):
    out = {}
    for row in list(csv.reader(io.StringIO(text)))[1:]:  # after the header line of -H
        out[int(row[0])] = [int(row[1])] + [float(x) for x in row[2:]]
    return out


def parse_vornel(text):
    out = {}
    for r in csv.DictReader(io.StringIO(text)):
        out[int(r["group"])] = [int(r["count"])] + [float(r[k]) for k in
                                                    ("mean", "std", "min", "max")]
    return out


def agree(a, b):
    if a.keys() != b.keys():
        return False
    for k in a:
        if a[k][0] != b[k][0]:
            return False
        if not all(math.isclose(x, y, rel_tol=1e-9, abs_tol=1e-9)
                   for x, y in zip(a[k][1:], b[k][1:])):
            return False
    return True


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="n = 10^6, 1 round (smoke test)")
    ap.add_argument("--no-docs", action="store_true", help="print only, write nothing")
    args = ap.parse_args()
    n = 10**6 if args.quick else 10**7
    repeats = 1 if args.quick else 3
    if shutil.which("datamash") is None:
        raise SystemExit("GNU datamash is needed (it is in the development root)")
    version = subprocess.run(["datamash", "--version"], capture_output=True,
                             text=True).stdout.splitlines()[0]

    t0 = time.perf_counter()
    path, sorted_path = make_csv(n)
    print(f"data: {os.path.relpath(path, rep.REPO)} ({os.path.getsize(path) / 2**20:.0f} MiB, "
          f"ready in {time.perf_counter() - t0:.1f} s)")
    ops = ["count", "2", "mean", "2", "pstdev", "2", "min", "2", "max", "2"]
    peers = {
        "datamash -s": (["datamash", "-t,", "-s", "-H", "-g", "1", *ops], path),
        "vornel describe": ([sys.executable, "-m", "vornel", "describe", path, "-g", "group",
                             "-c", "value", "-f", "csv"], None),
        "datamash, pre-sorted input": (["datamash", "-t,", "-H", "-g", "1", *ops],
                                       sorted_path),
    }
    times = {name: [] for name in peers}
    outputs = {}
    for _ in range(repeats):
        for name, (cmd, stdin) in peers.items():
            dt, outputs[name] = run(cmd, stdin)
            times[name].append(dt)
    med = {name: float(np.median(t)) for name, t in times.items()}
    ok = (agree(parse_datamash(outputs["datamash -s"]), parse_vornel(outputs["vornel describe"]))
          and agree(parse_datamash(outputs["datamash, pre-sorted input"]),
                    parse_vornel(outputs["vornel describe"])))
    ratio = med["datamash -s"] / med["vornel describe"]
    ratio_sorted = med["datamash, pre-sorted input"] / med["vornel describe"]

    print(f"{version}; n = {n:,} rows, {G} groups, median of {repeats} rounds, end to end")
    print(f"{'command':<28}{'seconds':>9}{'ns/row':>9}{'vs vornel':>11}")
    rows = []
    for name, t in med.items():
        vs = t / med["vornel describe"]
        print(f"{name:<28}{t:9.2f}{t / n * 1e9:9.0f}{vs:10.2f}x")
        rows.append([name, f"{t:.2f}", f"{t / n * 1e9:.0f}", f"{vs:.2f}×"])
    print(f"target datamash -s / vornel = {ratio:.2f} >= {TARGET}  {nat.verdict(ratio >= TARGET)}")
    print(f"results agree (counts exactly, mean/std/min/max to 1e-9): {nat.mark(ok)}")
    if args.no_docs:
        return 0

    body = (f"{version}; {n:,} rows `group,value` ({os.path.getsize(path) / 2**20:.0f} MiB), "
            f"{G} integer group keys in random order; median of {repeats} rounds, commands "
            f"interleaved, whole commands from start to exit (vornel's time includes starting "
            f"Python and importing NumPy and pyarrow).\n\n"
            f"- `datamash -t, -s -H -g 1 count 2 mean 2 pstdev 2 min 2 max 2 < file`\n"
            f"- `python -m vornel describe file -g group -c value -f csv` (also sum and var)\n"
            f"- datamash without `-s` on a copy already sorted by group (its best case; the "
            f"sort is not timed)\n\n"
            + rep.md_table(["command", "seconds", "ns per row", "time / vornel's"], rows)
            + f"\n- target: datamash -s / vornel = {ratio:.2f}, at least {TARGET}: "
              f"{nat.verdict(ratio >= TARGET)}\n"
            f"- datamash on pre-sorted input / vornel = {ratio_sorted:.2f}\n"
            f"- results agree (counts exactly, the rest to 1e-9): {'yes' if ok else 'NO'}\n")
    plt = rep.pyplot()
    if plt is not None:
        fig, ax = plt.subplots(figsize=(6.4, 3.2))
        names = list(med)
        ax.barh(names, [med[k] / n * 1e9 for k in names],
                color=["tab:gray", "tab:blue", "tab:olive"])
        ax.invert_yaxis()
        ax.set_xlabel("ns per row, end to end")
        ax.set_title(f"grouped summary, {n:,} rows, {G} groups")
        body += "\n" + rep.save_plot(fig, "datamash")
    rep.write_section("datamash", "Command line: vornel describe against GNU datamash", body)
    return 0


if __name__ == "__main__":
    sys.exit(main())
