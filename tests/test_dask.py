"""vornel.dask: chunk records merged in a fixed tree, the same bits under every scheduler."""

import math

import numpy as np
import pytest

dask = pytest.importorskip("dask")
da = pytest.importorskip("dask.array")

from dask.delayed import Delayed  # noqa: E402

from vornel import CyGroupedStreamStats, CyStreamStats  # noqa: E402
import vornel.dask  # noqa: E402
from vornel.dask import SPLIT_EVERY, grouped_stats, stream_stats  # noqa: E402
from vornel.state import (  # noqa: E402
    RECORD_DTYPE, from_records, merge_records, summarise, to_records)

N, G = 20_000, 7
VALS = np.random.default_rng(11).standard_normal(N) * 3.0 + 1.0
IDS = np.random.default_rng(12).integers(0, G, N)
RO = VALS.copy()
RO.flags.writeable = False  # chunks of from_array are read-only views of it
UNEVEN = (1, 4999, 0, 7000, 3, 7997)

cluster = pytest.mark.cluster


def xs(chunks, data=VALS):
    return da.from_array(data, chunks=(chunks,))


X = xs(1000)
I64 = xs(1000, IDS)

# Lazy cases, each computed once per scheduler in one compute call.
CASES = {
    "even": lambda: stream_stats(X, compute=False),
    "split-2": lambda: stream_stats(X, split_every=2, compute=False),
    "split-3-uneven": lambda: stream_stats(xs(UNEVEN), split_every=3, compute=False),
    "split-above-chunks": lambda: stream_stats(X, split_every=100, compute=False),
    "single-chunk": lambda: stream_stats(xs(N), compute=False),
    "empty": lambda: stream_stats(da.zeros(0, chunks=5), compute=False),
    "read-only": lambda: stream_stats(xs(999, RO), compute=False),
    "grouped-int64": lambda: grouped_stats(I64, X, G, compute=False),
    "grouped-int32-split-2": lambda: grouped_stats(
        xs(UNEVEN, IDS.astype(np.int32)), xs(UNEVEN), G, split_every=2, compute=False),
}


def bits(records):
    return {name: r.tobytes() for name, r in records.items()}


@pytest.fixture(scope="module")
def reference():
    return bits(dask.compute({k: make() for k, make in CASES.items()}, scheduler="sync")[0])


def eager(scheduler):
    """The compute=True path on the given scheduler, as records."""
    with dask.config.set(scheduler=scheduler):
        return {"even": to_records(stream_stats(X)),
                "grouped-int64": to_records(grouped_stats(I64, X, G))}


def check_same_bits(scheduler, reference):
    lazy = dask.compute({k: make() for k, make in CASES.items()}, scheduler=scheduler)[0]
    assert bits(lazy) == reference
    got = bits(eager(scheduler))
    assert got == {k: reference[k] for k in got}


@pytest.mark.parametrize("scheduler", ["threads", pytest.param("processes", marks=cluster)])
def test_same_bits_under_local_schedulers(scheduler, reference):
    check_same_bits(scheduler, reference)


@pytest.fixture(scope="module", params=[1, 2], ids=["1-worker", "2-workers"])
def client(request):
    distributed = pytest.importorskip("distributed")
    # dashboard_address=None means the default port 8787 here, which another cluster on the
    # machine may hold (a warning, so an error under pytest); ":0" takes any free port.
    with distributed.LocalCluster(n_workers=request.param, threads_per_worker=1,
                                  processes=True, dashboard_address=":0",
                                  host="127.0.0.1") as lc:
        with distributed.Client(lc, set_as_default=False) as c:
            yield c


@cluster
def test_same_bits_on_a_cluster(client, reference):
    check_same_bits(client, reference)


@cluster
def test_records_from_a_cluster_make_accumulators(client):
    # Arrays received from workers may sit at any address; the documented path must take them.
    rec, grec = dask.compute(stream_stats(X, compute=False),
                             grouped_stats(I64, X, G, compute=False), scheduler=client)
    assert to_records(from_records(rec)).tobytes() == rec.tobytes()
    assert to_records(from_records(grec)).tobytes() == grec.tobytes()


def sequential(values):
    s = CyStreamStats()
    s.add_values(np.array(values))
    return s.result()


def close(a, b):
    return math.isclose(a, b, rel_tol=1e-12, abs_tol=1e-12)


@pytest.mark.parametrize("chunks", [1000, UNEVEN, 7, N])
@pytest.mark.parametrize("split_every", [None, 2, 5, 10**6])
def test_stream_matches_sequential(chunks, split_every):
    got = stream_stats(xs(chunks), split_every=split_every).result()
    want = sequential(VALS)
    assert (got["count"], got["min"], got["max"]) == (want["count"], want["min"], want["max"])
    for key in ("sum", "mean", "var", "std"):
        assert close(got[key], want[key]), key


@pytest.mark.parametrize("id_dtype", [np.int32, np.int64])
@pytest.mark.parametrize("chunks, split_every", [(1000, None), (UNEVEN, 2), (N, 3)])
def test_grouped_matches_sequential(id_dtype, chunks, split_every):
    ids = IDS.astype(id_dtype)
    got = grouped_stats(xs(chunks, ids), xs(chunks), G, split_every=split_every)
    want = CyGroupedStreamStats(G)
    want.add(ids.copy(), VALS.copy())
    g, w = got.result_arrays(), want.result_arrays()
    for key in ("count", "min", "max"):
        assert g[key] == w[key]
    for key in ("sum", "mean", "var", "std"):
        assert all(close(a, b) for a, b in zip(g[key], w[key])), key


def test_tree_shape_is_the_documented_one():
    parts = [summarise(VALS[i * 1000:(i + 1) * 1000]) for i in range(5)]

    def merged(first, *rest):
        out = first.copy()
        for r in rest:
            merge_records(out, r)
        return out

    # split_every=2 over 5 chunks: ((c0 c1) (c2 c3)) then c4, which passes up alone.
    pairs = merged(merged(parts[0], parts[1]), merged(parts[2], parts[3]))
    want = merged(pairs, parts[4])
    x = X[:5000]
    assert to_records(stream_stats(x, split_every=2)).tobytes() == want.tobytes()
    # One node when split_every covers every chunk: a left fold in chunk order.
    assert to_records(stream_stats(x, split_every=5)).tobytes() == merged(*parts).tobytes()


def test_default_split_every_ignores_dask_config():
    mine = to_records(stream_stats(X, split_every=SPLIT_EVERY)).tobytes()
    pairs = to_records(stream_stats(X, split_every=2)).tobytes()
    assert mine != pairs  # otherwise this test could not tell the two apart
    with dask.config.set({"split_every": 2}):
        assert to_records(stream_stats(X)).tobytes() == mine


@pytest.mark.parametrize("chunks", [1000, UNEVEN])
def test_chunks_per_task_changes_no_bit(chunks, monkeypatch):
    # Batched chunk tasks fold several chunks in one loop; each chunk keeps its own bits.
    want = to_records(stream_stats(xs(chunks), split_every=3)).tobytes()
    for per_task in (1, 2, 3):
        monkeypatch.setattr(vornel.dask, "CHUNKS_PER_TASK", per_task)
        assert to_records(stream_stats(xs(chunks), split_every=3)).tobytes() == want


def test_single_chunk_is_one_add_values():
    # No merge at all: the bits of one add_values over the same values.
    s = CyStreamStats()
    s.add_values(VALS.copy())
    assert to_records(stream_stats(xs(N, RO))).tobytes() == to_records(s).tobytes()


def test_empty_array():
    assert stream_stats(da.zeros(0, chunks=5)).result()["count"] == 0
    ids = da.zeros(0, dtype=np.int64, chunks=5)
    assert grouped_stats(ids, da.zeros(0, chunks=5), 3).result_arrays()["count"] == [0, 0, 0]


def test_compute_false_gives_records():
    lazy = stream_stats(X, compute=False)
    glazy = grouped_stats(I64, X, G, compute=False)
    assert isinstance(lazy, Delayed) and isinstance(glazy, Delayed)
    rec, grec = dask.compute(lazy, glazy, scheduler="sync")
    assert (rec.dtype, rec.shape, grec.dtype, grec.shape) == (RECORD_DTYPE, (), RECORD_DTYPE, (G,))
    acc = from_records(rec)
    assert isinstance(acc, CyStreamStats)
    assert to_records(acc).tobytes() == to_records(stream_stats(X)).tobytes()


def test_group_id_out_of_range_fails_when_its_chunk_runs():
    ids = IDS.copy()
    ids[15_000] = G
    lazy = grouped_stats(xs(1000, ids), X, G, compute=False)  # nothing runs yet
    with pytest.raises(ValueError, match=f"group id {G} out of range"):
        lazy.compute(scheduler="sync")


def test_masked_chunks_are_refused():
    # Their buffers still hold the masked values, which would count as data.
    with pytest.raises(TypeError, match="NumPy arrays, not MaskedArray"):
        stream_stats(da.ma.masked_greater(X, 0.0))
    mislabelled = X.map_blocks(np.ma.masked_greater, 0.0, meta=np.empty(0))
    with pytest.raises(TypeError, match="chunks of x are masked arrays"):
        stream_stats(mislabelled)



@pytest.mark.parametrize("x, kwargs, exc, words", [
    (VALS, {}, TypeError, "must be a dask array, not ndarray.*from_array"),
    ([1.0], {}, TypeError, "must be a dask array, not list"),
    (X.reshape(100, 200), {}, ValueError, "one-dimensional, got 2"),
    (X.astype(np.float32), {}, ValueError, "float64, got float32"),
    (X.astype(">f8"), {}, ValueError, "float64, got >f8"),
    (X[X > 0], {}, ValueError, r"unknown chunk sizes.*compute_chunk_sizes"),
    (X, dict(split_every=1), ValueError, "split_every"),
    (X, dict(split_every=True), ValueError, "split_every"),
    (X, dict(split_every=4.0), ValueError, "split_every"),
])
def test_stream_rejects(x, kwargs, exc, words):
    with pytest.raises(exc, match=words):
        stream_stats(x, **kwargs)



@pytest.mark.parametrize("ids, values, n_groups, exc, words", [
    (IDS, X, G, TypeError, "group_ids must be a dask array"),
    (I64, VALS, G, TypeError, "values must be a dask array"),
    (X, X, G, ValueError, "group_ids must have dtype int32 or int64, got float64"),
    (I64.astype(np.uint32), X, G, ValueError, "int32 or int64, got uint32"),
    (I64, I64, G, ValueError, "values must have dtype float64"),
    (I64, xs(500), G, ValueError, r"same chunks, got \(1000, (1000, )+1000\) and \(500, "),
    (I64, X[:-1], G, ValueError, "same chunks"),
    (I64, X, 0, ValueError, "n_groups"),
    (I64, X, 2**31, ValueError, "n_groups"),
    (I64, X, 2.0, TypeError, "n_groups"),
    (I64, X, True, TypeError, "n_groups"),
])
def test_grouped_rejects(ids, values, n_groups, exc, words):
    with pytest.raises(exc, match=words):
        grouped_stats(ids, values, n_groups)


# ---------------------------------------------------------------------------------------
# Quantiles: sketches only count, so every chunking and tree gives the same answer.

QS = [0.0, 0.01, 0.25, 0.5, 0.99, 1.0]


@pytest.mark.parametrize("scheduler", ["sync", "threads", pytest.param("processes", marks=cluster)])
def test_quantiles_do_not_depend_on_chunks_or_scheduler(scheduler):
    want = vornel.QuantileSketch()
    want.add(VALS)
    gwant = vornel.GroupedQuantileSketch(G)
    gwant.add(IDS, VALS)
    with dask.config.set(scheduler=scheduler):
        for chunks, split_every in ((N, None), (1000, 2), (UNEVEN, 3), (7, 10**6)):
            got = vornel.dask.quantiles(xs(chunks), QS, split_every=split_every)
            np.testing.assert_array_equal(got, want.quantiles(QS))
            grouped = vornel.dask.grouped_quantiles(xs(chunks, IDS), xs(chunks), G, QS,
                                                    split_every=split_every)
            np.testing.assert_array_equal(grouped, gwant.quantiles(QS))
    lazy = vornel.dask.quantiles(X, QS, compute=False)
    assert isinstance(lazy, Delayed) and lazy.compute() == want
    assert np.isnan(vornel.dask.quantiles(da.zeros(0, chunks=5), QS)).all()


@pytest.mark.parametrize("call, exc", [
    (lambda: vornel.dask.quantiles(X, [1.5]), ValueError),
    (lambda: vornel.dask.quantiles(X, [math.nan]), ValueError),
    (lambda: vornel.dask.quantiles(X, [0.5], relative_accuracy=0), ValueError),
    (lambda: vornel.dask.quantiles(VALS, [0.5]), TypeError),
    (lambda: vornel.dask.grouped_quantiles(I64, xs(UNEVEN), G, [0.5]), ValueError),
    (lambda: vornel.dask.grouped_quantiles(I64, X, 0, [0.5]), ValueError),
])
def test_quantiles_reject_before_any_task(call, exc):
    with pytest.raises(exc):
        call()


@cluster
def test_quantiles_on_a_cluster(client):
    want = vornel.QuantileSketch()
    want.add(VALS)
    for parts in (3, 8, 17):
        lazy = vornel.dask.quantiles(xs(-(-N // parts)), QS, compute=False)
        assert dask.compute(lazy, scheduler=client)[0] == want
