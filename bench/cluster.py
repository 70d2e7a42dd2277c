"""Benchmark of vornel.dask on a LocalCluster of 2 worker processes against dask's own reductions.

Data: n float64 values (standard normal) and int64 group ids (G = 1000, uniform) in 16
chunks, generated in the workers and persisted there (8 chunks each) before any timing, so
every peer reads the same chunks from worker memory. Peers, interleaved round by round, medians:

- stream: vornel.dask.stream_stats against dask.compute(x.mean(), x.var(), x.min(),
  x.max()) (one compute, so the four reductions share each chunk read);
- grouped: vornel.dask.grouped_stats against the nearest dask equivalent, a dask DataFrame
  (the same ids and values, persisted too) groupby("g")["v"].agg of count, sum, mean,
  min, max, var and std.

Then checks that our records are bit for bit the same on 2 workers, on 1 worker (after
retiring the other; its data moves to the survivor) and on the synchronous
scheduler over the same chunks pulled into this process, and that counts, minima and
maxima equal one sequential add. Writes its tables into docs/benchmarks.md and its plot
into docs/img/cluster.png.

Run:  tools/devenv run python bench/cluster.py [--quick]
"""

import argparse
import os
import sys
import time
import warnings

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import _native as nat  # noqa: E402
import _report as rep  # noqa: E402
import dask  # noqa: E402
import dask.array as da  # noqa: E402
from distributed import Client, LocalCluster, wait  # noqa: E402

from vornel import CyGroupedStreamStats, CyStreamStats  # noqa: E402
from vornel.dask import SPLIT_EVERY, grouped_stats, stream_stats  # noqa: E402
from vornel.state import summarise, to_records  # noqa: E402

with warnings.catch_warnings():
    # Without the dask-expr package dask's legacy DataFrame is used, with a FutureWarning.
    warnings.simplefilter("ignore", FutureWarning)
    import dask.dataframe as dd  # noqa: E402

TARGET = 1.2  # dask's mean/var/min/max time / stream_stats time, at least
G = 1000
CHUNKS = 16
WORKERS = 2


def make_data(n, client):
    """(values, ids, frame), generated and persisted in the workers: chunk i of the values
    and of the ids on worker i % 2, so both workers hold the same share (the scheduler's
    own placement may give one of them 9 of the 16 chunks, and every peer's time with it)."""
    chunk = -(-n // CHUNKS)
    workers = sorted(client.scheduler_info()["workers"])
    with dask.annotate(workers=lambda key: [workers[key[1] % len(workers)]],
                       allow_other_workers=False):
        x = da.random.default_rng(7).standard_normal(n, chunks=chunk)
        ids = da.random.default_rng(8).integers(0, G, n, chunks=chunk)
    frame = dd.concat([dd.from_dask_array(ids, columns="g"),
                       dd.from_dask_array(x, columns="v")], axis=1)
    # Unoptimised, so that the placement annotations reach the scheduler.
    x, ids, frame = client.persist([x, ids, frame], optimize_graph=False)
    wait([x, ids, frame])
    return x, ids, frame


def dask_moments(x):
    return dask.compute(x.mean(), x.var(), x.min(), x.max())


def dask_groupby(frame):
    return frame.groupby("g")["v"].agg(
        ["count", "sum", "mean", "min", "max", "var", "std"]).compute()


def records(x, ids):
    return (to_records(stream_stats(x)).tobytes(),
            to_records(grouped_stats(ids, x, G)).tobytes())


def shrink_to_one(cluster, client):
    """Retires every worker but the first, which moves their data to it, then closes them."""
    infos = client.scheduler_info()["workers"].items()
    client.retire_workers(workers=[addr for addr, w in infos if w["name"] != 0])
    cluster.scale(1)
    deadline = time.monotonic() + 60
    while len(client.scheduler_info()["workers"]) != 1:
        if time.monotonic() > deadline:
            raise RuntimeError("the cluster did not shrink to 1 worker")
        time.sleep(0.1)


def scheduler_tasks(client):
    return client.run_on_scheduler(lambda dask_scheduler: len(dask_scheduler.tasks))


def settle(client, persisted):
    """Waits until the scheduler holds only the persisted data again. A run's results are
    released after it returns; a next run with the same keys would otherwise reuse them,
    and their clean-up would overlap the next timing."""
    while scheduler_tasks(client) > persisted:
        time.sleep(0.005)


def timings(client, x, ids, frame, repeats):
    persisted = scheduler_tasks(client)

    def ready():
        settle(client, persisted)

    peers = {
        "vornel stream": (ready, lambda _: stream_stats(x)),
        "dask mean/var/min/max": (ready, lambda _: dask_moments(x)),
        "vornel grouped": (ready, lambda _: grouped_stats(ids, x, G)),
        "dask DataFrame groupby.agg": (ready, lambda _: dask_groupby(frame)),
    }
    return nat.interleaved(peers, repeats)


def exact_checks(x, ids, cluster, client):
    """Our records on 2 workers, then 1; the chunks themselves, pulled into this process.
    Runs inside the cluster."""
    on_two = records(x, ids)
    shrink_to_one(cluster, client)
    on_one = records(x, ids)
    return on_two, on_one, dask.compute(x, ids)


def local_checks(x, ids, vals, gids, on_cluster):
    """Whether our records on the synchronous scheduler, over the same chunks, equal those
    of the cluster, and whether counts, minima and maxima equal one sequential add."""
    lx, lids = da.from_array(vals, chunks=x.chunks), da.from_array(gids, chunks=ids.chunks)
    with dask.config.set(scheduler="sync"):
        on_sync = records(lx, lids)
        ours, ours_g = stream_stats(lx).result(), grouped_stats(lids, lx, G).result_arrays()
    seq, seq_g = CyStreamStats(), CyGroupedStreamStats(G)
    seq.add_values(vals)
    seq_g.add(gids, vals)
    want, want_g = seq.result(), seq_g.result_arrays()
    exact = all(ours[k] == want[k] for k in ("count", "min", "max")) and all(
        ours_g[k] == want_g[k] for k in ("count", "min", "max"))
    return all(r == on_sync for r in on_cluster), exact


def chunk_costs(vals, n, repeats):
    """ns per value of one chunk's work on one core, with no dask at all: our summarise
    against NumPy's mean, var, min and max over the same chunk."""
    chunk = np.ascontiguousarray(vals[:-(-n // CHUNKS)])
    times = nat.interleaved({
        "summarise": (lambda: None, lambda _: summarise(chunk)),
        "numpy": (lambda: None, lambda _: (chunk.mean(), chunk.var(), chunk.min(), chunk.max())),
    }, repeats)
    return {k: t / len(chunk) for k, t in times.items()}


def report(n, repeats, times, same, exact, costs, load):
    """Prints the table and the verdicts; returns the markdown body of the docs section."""
    pairs = [("stream", "vornel stream", "dask mean/var/min/max"),
             ("grouped", "vornel grouped", "dask DataFrame groupby.agg")]
    rows = []
    print(f"\n{'peer':<28}{'median s':>10}{'ns/element':>12}{'dask / vornel':>15}")
    for _, ours, theirs in pairs:
        ratio = times[theirs] / times[ours]
        for name in (ours, theirs):
            r = f"{ratio:.2f}" if name == theirs else ""
            print(f"{name:<28}{times[name] / 1e9:10.3f}{times[name] / n:12.3f}{r:>15}")
            rows.append([name, f"{times[name] / 1e9:.3f}", f"{times[name] / n:.3f}", r])
    stream_ratio = times["dask mean/var/min/max"] / times["vornel stream"]
    ok = stream_ratio >= TARGET
    print(f"\ntarget stream: dask / vornel {stream_ratio:.2f} >= {TARGET}  {nat.verdict(ok)}")
    print(f"records bit for bit equal on 2 workers, 1 worker and the synchronous scheduler: "
          f"{nat.mark(same)}")
    print(f"counts, minima and maxima equal to one sequential add: {nat.mark(exact)}")
    print(f"one chunk on one core, no dask: summarise {costs['summarise']:.2f} ns/value, "
          f"NumPy mean+var+min+max {costs['numpy']:.2f} ns/value")
    print(f"load average (1 min) before the run: {load:.2f} on {os.cpu_count()} CPUs")
    return (f"n = {n:,} float64 values (standard normal) and int64 ids (G = {G}) in {CHUNKS} "
            f"chunks, persisted in a LocalCluster of {WORKERS} worker processes (1 thread "
            f"each, {CHUNKS // WORKERS} chunks each); {repeats} interleaved rounds, median "
            f"seconds. Our merge tree has split_every = {SPLIT_EVERY}; each of our chunk "
            f"tasks runs the add_values update over its values (its cost per value is in "
            f"the One stream section), dask's peer NumPy reductions over them. The grouped "
            f"peer is a dask DataFrame "
            f"groupby(\"g\")[\"v\"].agg of count, sum, mean, min, max, var, std (sample "
            f"var and std, ddof 1; ours are the population ones), dask's nearest "
            f"equivalent of grouped_stats.\n\n"
            + rep.md_table(["peer", "median s", "ns/element", "dask / vornel"], rows)
            + f"\n- stream: dask / vornel {stream_ratio:.2f}, target ≥ {TARGET}: "
              f"{nat.verdict(ok)}\n"
            + f"- records bit for bit equal on 2 workers, 1 worker (after retiring one) and "
              f"the synchronous scheduler over the same chunks: {'yes' if same else 'NO'}\n"
            + f"- counts, minima and maxima equal to one sequential add: "
              f"{'yes' if exact else 'NO'}\n"
            + f"- one chunk on one core, no dask: summarise {costs['summarise']:.2f} ns/value, "
              f"NumPy mean + var + min + max {costs['numpy']:.2f} ns/value: our update is one "
              f"dependent chain of operations per value, so any lead over dask comes from "
              f"dask's own costs around NumPy's (four reduction trees, var's temporaries).\n"
            + f"- load average (1 min) before the run: {load:.2f} on {os.cpu_count()} CPUs "
              f"(other processes on the machine take CPU time from every peer, not evenly).\n")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="n = 10^6, 3 repeats (smoke test)")
    ap.add_argument("--no-docs", action="store_true", help="print only, write nothing")
    args = ap.parse_args()
    n = 10**6 if args.quick else 10**8
    repeats = 3 if args.quick else 7
    load = os.getloadavg()[0]
    print(f"vornel.dask cluster benchmark: n = {n:,}, {CHUNKS} chunks, {WORKERS} worker "
          f"processes, median of {repeats} rounds, peers interleaved")
    with LocalCluster(n_workers=WORKERS, threads_per_worker=1, processes=True,
                      dashboard_address=":0", host="127.0.0.1") as cluster, \
            Client(cluster) as client:
        x, ids, frame = make_data(n, client)
        times = timings(client, x, ids, frame, repeats)
        on_two, on_one, (vals, gids) = exact_checks(x, ids, cluster, client)
    same, exact = local_checks(x, ids, vals, gids, [on_two, on_one])
    costs = chunk_costs(vals, n, repeats)
    body = report(n, repeats, times, same, exact, costs, load)
    if args.no_docs:
        return 0
    plot = {"stream": {"vornel.dask": times["vornel stream"] / n,
                       "dask": times["dask mean/var/min/max"] / n},
            "grouped (G = 1000)": {"vornel.dask": times["vornel grouped"] / n,
                                   "dask": times["dask DataFrame groupby.agg"] / n}}
    body += rep.bar_plot(plot, "cluster", f"vornel.dask vs dask, n = {n:,}, {WORKERS} workers",
                         size=(6.4, 4.0), log=True)
    rep.write_section("cluster", "Dask: vornel.dask on a LocalCluster", body)
    return 0


if __name__ == "__main__":
    sys.exit(main())
