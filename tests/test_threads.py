"""Threads: accumulators filled in parallel and merged in a tree, a shared accumulator behind
a lock, lists changed while the iterable path walks them, and quantile sketches that many
threads add to and merge into at once.

Sizes grow with VORNEL_STRESS_SCALE (1 in the normal suite; the reliability check runs
larger). When VORNEL_STRESS_FIGURES names a file, the tests append their sizes and the
number of mismatches to it.
"""

import math
import os
import threading

import numpy as np
import pytest

from vornel import state
from vornel._cycore import CyGroupedStreamStats, CyStreamStats
from vornel.sketch import GroupedQuantileSketch, QuantileSketch

SCALE = int(os.environ.get("VORNEL_STRESS_SCALE", "1"))
THREADS = 8
CHUNKS = 4 * SCALE  # add calls per thread
CHUNK = 25_000  # values per add call
GROUPS = 64
EXACT = ("count", "min", "max")


def record(name, value):
    path = os.environ.get("VORNEL_STRESS_FIGURES")
    if path:
        with open(path, "a") as f:
            f.write(f"{name}\t{value}\n")


def run_threads(target, n):
    """Runs target(i) in n threads released together by a barrier; re-raises the first error."""
    barrier = threading.Barrier(n)
    errors = []

    def body(i):
        try:
            barrier.wait()
            target(i)
        except BaseException as e:  # reported in the main thread
            errors.append(e)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


def data(seed):
    rng = np.random.default_rng(seed)
    values = [rng.normal(1e3, 1e2, CHUNK) for _ in range(CHUNKS)]
    ids = [rng.integers(0, GROUPS, CHUNK).astype(np.int32 if seed % 2 else np.int64)
           for _ in range(CHUNKS)]
    return ids, values


def feed(acc, ids, values):
    for i, v in zip(ids, values):
        if isinstance(acc, CyStreamStats):
            acc.add_values(v[::-1] if len(v) % 2 else v)
        else:
            acc.add(i, v)


def results(acc):
    if isinstance(acc, CyStreamStats):
        return [acc.result()]
    return list(acc.to_dict().values())


def mismatches(got, want, exact_all):
    """Fields that differ: count, min and max always exactly, the rest up to rounding unless
    exact_all."""
    bad = 0
    for g, w in zip(got, want, strict=True):
        for k in w:
            a, b = g[k], w[k]
            if exact_all or k in EXACT or a is None or b is None:
                bad += not (a == b or (a != a and b != b))
            else:
                bad += not math.isclose(a, b, rel_tol=1e-9, abs_tol=1e-9)
    return bad


def make(kind):
    return CyStreamStats() if kind == "stream" else CyGroupedStreamStats(GROUPS)


def tree_merge(accs, parallel):
    """Merges pairs (0,1), (2,3), ... level by level; each level's merges run in threads."""
    accs = list(accs)
    while len(accs) > 1:
        pairs = [(accs[i], accs[i + 1]) for i in range(0, len(accs) - 1, 2)]
        if parallel:
            run_threads(lambda i: pairs[i][0].merge(pairs[i][1]), len(pairs))
        else:
            for a, b in pairs:
                a.merge(b)
        accs = [a for a, _ in pairs] + (accs[-1:] if len(accs) % 2 else [])
    return accs[0]


@pytest.mark.parametrize("kind", ["stream", "grouped"])
def test_parallel_fill_and_tree_merge(kind):
    inputs = [data(seed) for seed in range(THREADS)]
    accs = [make(kind) for _ in range(THREADS)]
    run_threads(lambda i: feed(accs[i], *inputs[i]), THREADS)
    merged = tree_merge(accs, parallel=True)

    # The same plan run in one thread gives the same bits; one accumulator fed everything
    # in order agrees up to rounding (merging regroups the additions).
    plan = [make(kind) for _ in range(THREADS)]
    for acc, inp in zip(plan, inputs):
        feed(acc, *inp)
    serial = make(kind)
    for inp in inputs:
        feed(serial, *inp)
    bad = (mismatches(results(merged), results(tree_merge(plan, parallel=False)), True)
           + mismatches(results(merged), results(serial), False))
    total = THREADS * CHUNKS * CHUNK
    assert sum(r["count"] for r in results(merged)) == total
    record(f"{kind}: threads x values", f"{THREADS} x {CHUNKS * CHUNK}")
    record("mismatches", bad)
    assert bad == 0


@pytest.mark.parametrize("kind", ["stream", "grouped"])
def test_shared_accumulator_behind_a_lock(kind):
    inputs = [data(100 + seed) for seed in range(THREADS)]
    shared, lock = make(kind), threading.Lock()

    def work(i):
        ids, values = inputs[i]
        for j in range(CHUNKS):
            with lock:
                feed(shared, ids[j:j + 1], values[j:j + 1])

    run_threads(work, THREADS)
    serial = make(kind)
    for inp in inputs:
        feed(serial, *inp)
    bad = mismatches(results(shared), results(serial), False)
    record(f"{kind} behind a lock: threads x values", f"{THREADS} x {CHUNKS * CHUNK}")
    record("mismatches", bad)
    assert bad == 0


class Shrinking(float):
    """A float whose conversion empties the list being walked (the item's __float__ runs
    Python code in the middle of the walk)."""

    def __new__(cls, value, target):
        self = super().__new__(cls, value)
        self.target = target
        return self

    def __float__(self):
        self.target.clear()
        return 7.0


def test_list_emptied_by_its_own_item_stops_the_walk():
    xs = [1.0, 2.0]
    xs += [Shrinking(0.0, xs), 3.0, 4.0]
    s = CyStreamStats()
    s.add_values(xs)
    # The item whose conversion cleared the list is still converted and folded in.
    assert s.result()["count"] == 3 and s.result()["sum"] == 10.0


class Yielding:
    """An item whose conversion lets other threads run in the middle of the walk."""

    def __init__(self, x):
        self.x = x

    def __float__(self):
        threading.Event().wait(0)  # a blocking call: the GIL may pass to another thread
        return self.x


@pytest.mark.parametrize("path", ["stream", "grouped"])
def test_list_shrunk_by_another_thread_during_the_walk(path):
    rounds = 20 * SCALE
    outcomes = {"completed": 0, "IndexError": 0}
    for r in range(rounds):
        xs = [Yielding(float(i)) for i in range(400)]
        acc = make("stream" if path == "stream" else "grouped")
        started = threading.Event()

        def shrink():
            started.wait()
            while xs:
                del xs[len(xs) // 2:]
                del xs[:1]

        t = threading.Thread(target=shrink)
        t.start()
        started.set()
        try:
            if path == "stream":
                acc.add_values(xs)
            else:
                acc.add([0] * 400, xs)  # values shorter than ids: the length error at the end
            outcomes["completed"] += 1
        except IndexError:
            outcomes["IndexError"] += 1
        except ValueError as e:
            assert path == "grouped" and str(e) == "group_ids and values must have the same length"
            outcomes["completed"] += 1
        finally:
            t.join()
        n = sum(r["count"] for r in results(acc))
        assert 0 <= n <= 400
    record(f"{path}: shrinking-list rounds", rounds)


def test_records_from_shared_read_only_input():
    """Threads fold one shared read-only input into records arrays of their own (the loops run
    detached), then the records merge in thread order: the bits equal the same plan run in
    one thread."""
    ids, values = data(11)
    for a in ids + values:
        a.flags.writeable = False

    def plan(out, i):
        for gi, v in zip(ids, values):
            state.summarise_grouped(gi, v, GROUPS, into=out[i], skipna=i % 2 == 1)

    parallel = [state.empty_records(GROUPS) for _ in range(THREADS)]
    run_threads(lambda i: plan(parallel, i), THREADS)
    serial = [state.empty_records(GROUPS) for _ in range(THREADS)]
    for i in range(THREADS):
        plan(serial, i)
    total_p, total_s = state.empty_records(GROUPS), state.empty_records(GROUPS)
    for p, s in zip(parallel, serial):
        state.merge_records(total_p, p)
        state.merge_records(total_s, s)
    bad = int(total_p.tobytes() != total_s.tobytes())
    bad += sum(p.tobytes() != s.tobytes() for p, s in zip(parallel, serial))
    record("records: threads x values", f"{THREADS} x {CHUNKS * CHUNK}")
    record("mismatches", bad)
    assert bad == 0


SKETCH_GROUPS = 1000  # skewed ids: a few groups turn dense while most stay sparse


def sketch_data(seed):
    """Chunks of values over many octaves, both signs, zeros, subnormals, infinities and NaN,
    with skewed group ids."""
    rng = np.random.default_rng(seed)
    specials = np.array([0.0, -0.0, 5e-324, -1e-310, np.inf, -np.inf, np.nan])
    values, ids = [], []
    for _ in range(CHUNKS):
        v = rng.lognormal(0, 8, CHUNK) * rng.choice([-1.0, 1.0], CHUNK)
        at = rng.integers(0, CHUNK, CHUNK // 100)
        v[at] = rng.choice(specials, len(at))
        values.append(v)
        ids.append((rng.pareto(1.0, CHUNK) % SKETCH_GROUPS).astype(np.int64))
    return ids, values


def make_sketch(kind, max_buckets):
    if kind == "single":
        return QuantileSketch(0.01, max_buckets=max_buckets)
    return GroupedQuantileSketch(SKETCH_GROUPS, 0.01, max_buckets=max_buckets)


def sketch_feed(sketch, ids, values):
    if isinstance(sketch, QuantileSketch):
        sketch.add(values)
    else:
        sketch.add(ids, values)


@pytest.mark.parametrize("max_buckets", [None, 40])
@pytest.mark.parametrize("kind", ["single", "grouped"])
def test_one_sketch_shared_by_adding_and_merging_threads(kind, max_buckets):
    """Threads add chunks to one shared sketch, merge sketches of other chunks into it and
    read it, all at once; it ends up the sketch of all the values, bytes included."""
    inputs = [sketch_data(200 + seed) for seed in range(THREADS)]
    shared = make_sketch(kind, max_buckets)

    def work(i):
        ids, values = inputs[i]
        for j in range(CHUNKS):
            if (i + j) % 3 == 2:  # the iterable path, which takes the lock per batch
                sketch_feed(shared, ids[j].tolist(), values[j].tolist())
            elif (i + j) % 3 == 1:
                part = make_sketch(kind, max_buckets)
                sketch_feed(part, ids[j], values[j])
                shared.merge(part)
            else:
                sketch_feed(shared, ids[j], values[j])
            shared.quantile(0.5)

    run_threads(work, THREADS)
    whole = make_sketch(kind, max_buckets)
    sketch_feed(whole, np.concatenate([np.concatenate(ids) for ids, _ in inputs]),
                np.concatenate([np.concatenate(values) for _, values in inputs]))
    numbers = sum(int(np.count_nonzero(~np.isnan(v))) for _, values in inputs for v in values)
    bad = int(shared != whole) + int(state.dumps(shared) != state.dumps(whole))
    bad += int(np.sum(shared.count)) != numbers
    limit = "" if max_buckets is None else f", max_buckets {max_buckets}"
    record(f"sketch {kind}{limit}: threads x values", f"{THREADS} x {CHUNKS * CHUNK}")
    record("mismatches", bad)
    assert bad == 0
