"""vornel.parallel: chunked summaries in a thread pool against one sequential add."""

import array
import math
import os
import signal
import threading

import numpy as np
import pytest

from vornel import CyGroupedStreamStats, CyStreamStats
from vornel.parallel import grouped_stats, stream_stats
from vornel.state import to_records

N = 50_000
VALS = np.random.default_rng(7).standard_normal(N) * 4.0 + 2.0
IDS = np.random.default_rng(8).integers(0, 13, N)

LAYOUTS = {"contiguous": VALS, "reversed": VALS[::-1], "step-3": VALS[::3]}
SPLITS = [dict(threads=1), dict(threads=3, chunk_size=1000), dict(threads=4, chunk_size=7),
          dict(threads=2, chunk_size=N), dict(threads=2)]


def close(a, b):
    return math.isclose(a, b, rel_tol=1e-12, abs_tol=1e-12)


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("split", SPLITS)
def test_stream_matches_sequential(layout, split):
    v = LAYOUTS[layout]
    seq = CyStreamStats()
    seq.add_values(v)
    want, got = seq.result(), stream_stats(v, **split).result()
    assert (got["count"], got["min"], got["max"]) == (want["count"], want["min"], want["max"])
    for key in ("sum", "mean", "var", "std"):
        assert close(got[key], want[key]), key
    # Same split, same bits: partials merge in chunk order whatever order threads finish.
    assert stream_stats(v, **split).result() == got


@pytest.mark.parametrize("id_dtype", [np.int32, np.int64])
@pytest.mark.parametrize("split", SPLITS)
def test_grouped_matches_sequential(id_dtype, split):
    ids = IDS.astype(id_dtype)
    seq = CyGroupedStreamStats(13)
    seq.add(ids, VALS)
    want, got = seq.result_arrays(), grouped_stats(ids, VALS, 13, **split).result_arrays()
    for key in ("count", "min", "max"):
        assert got[key] == want[key]
    for key in ("sum", "mean", "var", "std"):
        assert all(close(a, b) for a, b in zip(got[key], want[key])), key


def test_empty_and_other_buffers():
    assert stream_stats(np.zeros(0)).result()["count"] == 0
    assert grouped_stats(np.zeros(0, np.int64), np.zeros(0), 2).result_arrays()["count"] == [0, 0]
    buf = array.array("d", [1.0, 2.0, 4.0])
    assert stream_stats(memoryview(buf), chunk_size=1).result()["sum"] == 7.0


@pytest.mark.parametrize("values, exc, words", [
    ([1.0, 2.0], TypeError, "must be a buffer"),
    (None, TypeError, "must be a buffer"),
    (np.zeros((2, 2)), ValueError, "one-dimensional"),
    (np.zeros(4, np.float32), ValueError, "expected float64"),
    (np.zeros(4, np.int64), ValueError, "expected float64"),
])
def test_stream_rejects(values, exc, words):
    with pytest.raises(exc, match=words):
        stream_stats(values)


I64, F64 = np.zeros(4, np.int64), np.zeros(4)


@pytest.mark.parametrize("ids, values, n_groups, exc, words", [
    ([0, 1], F64, 2, TypeError, "group_ids must be a buffer"),
    (I64, [0.0], 2, TypeError, "values must be a buffer"),
    (I64, np.zeros(4, np.float32), 2, ValueError, "values: expected float64"),
    (np.zeros(4, np.uint32), F64, 2, ValueError, "group_ids: expected int32 or int64"),
    (F64, F64, 2, ValueError, "group_ids: expected int32 or int64"),
    (I64[:3], F64, 2, ValueError, "same length, got 3 and 4"),
    (I64, F64, 0, ValueError, "n_groups must be > 0"),
])
def test_grouped_rejects(ids, values, n_groups, exc, words):
    with pytest.raises(exc, match=words):
        grouped_stats(ids, values, n_groups)


@pytest.mark.parametrize("option", [dict(threads=0), dict(threads=1.5), dict(chunk_size=0),
                                    dict(chunk_size=True)])
def test_bad_options(option):
    with pytest.raises(ValueError, match="positive int"):
        stream_stats(F64, **option)


def test_out_of_range_id_reports_first_bad_chunk():
    ids = np.zeros(100, np.int64)
    ids[30], ids[80] = 9, -1
    with pytest.raises(ValueError, match=r"group id 9 out of range \[0, 2\)"):
        grouped_stats(ids, np.zeros(100), 2, threads=4, chunk_size=10)


def bits(acc):
    return to_records(acc).tobytes()


def chunk_bounds(n, size):
    return [(lo, min(lo + size, n)) for lo in range(0, n, size)]


BIG_N = 300_000
BIG_VALS = np.random.default_rng(9).standard_normal(BIG_N) * 1e3 + 5.0
BIG_IDS = np.random.default_rng(10).integers(0, 13, BIG_N)
# (threads, chunk_size, chunk size it stands for): the defaults are four chunks per thread
# for streams and one for groups, at least 65536 elements each.
OLD_SPLITS = [(1, None, 75_000, BIG_N), (2, None, 65536, 150_000), (3, None, 65536, 100_000),
              (2, 1000, 1000, 1000), (4, 99_999, 99_999, 99_999)]


@pytest.mark.parametrize("threads, chunk_size, stream_chunk, grouped_chunk", OLD_SPLITS)
def test_same_bits_as_accumulators_merged_in_chunk_order(threads, chunk_size, stream_chunk,
                                                         grouped_chunk):
    want = CyStreamStats()
    for lo, hi in chunk_bounds(BIG_N, stream_chunk):
        part = CyStreamStats()
        part.add_values(BIG_VALS[lo:hi])
        want.merge(part)
    got = stream_stats(BIG_VALS, threads=threads, chunk_size=chunk_size)
    assert bits(got) == bits(want)
    gwant = CyGroupedStreamStats(13)
    for lo, hi in chunk_bounds(BIG_N, grouped_chunk):
        gpart = CyGroupedStreamStats(13)
        gpart.add(BIG_IDS[lo:hi], BIG_VALS[lo:hi])
        gwant.merge(gpart)
    ggot = grouped_stats(BIG_IDS, BIG_VALS, 13, threads=threads, chunk_size=chunk_size)
    assert bits(ggot) == bits(gwant)


def read_only(a):
    a = a.copy()
    a.flags.writeable = False
    return a


@pytest.mark.parametrize("wrap", [read_only, lambda a: memoryview(read_only(a)),
                                  lambda a: read_only(a)[::-2]])
def test_read_only_inputs_match_writable_ones(wrap):
    split = dict(threads=2, chunk_size=7001)
    ids, vals = IDS.astype(np.int32), VALS
    assert bits(stream_stats(wrap(vals), **split)) == bits(
        stream_stats(np.ascontiguousarray(wrap(vals)), **split))
    assert bits(grouped_stats(wrap(ids), wrap(vals), 13, **split)) == bits(
        grouped_stats(np.ascontiguousarray(wrap(ids)), np.ascontiguousarray(wrap(vals)), 13,
                      **split))


def test_calls_from_many_threads_agree():
    """Pools started by concurrent callers share nothing: every call gives the same bits."""
    n = 8
    barrier = threading.Barrier(n)
    out = [b""] * n

    def body(i):
        barrier.wait()
        if i % 2:
            out[i] = bits(stream_stats(BIG_VALS, threads=3, chunk_size=20_000))
        else:
            out[i] = bits(grouped_stats(BIG_IDS, BIG_VALS, 13, threads=3, chunk_size=20_000))

    threads = [threading.Thread(target=body, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(set(out[1::2])) == 1 and len(set(out[::2])) == 1
    assert out[1] == bits(stream_stats(BIG_VALS, threads=1, chunk_size=20_000))
    assert out[0] == bits(grouped_stats(BIG_IDS, BIG_VALS, 13, threads=1, chunk_size=20_000))


@pytest.mark.parametrize("bad", [[0], [99], [35, 70], [5, 6, 99]])
def test_first_failing_chunk_wins_and_pool_stays_usable(bad):
    ids = np.zeros(100, np.int64)
    for pos in bad:
        ids[pos] = 100 + pos
    with pytest.raises(ValueError, match=rf"group id {100 + bad[0]} out of range"):
        grouped_stats(ids, np.zeros(100), 2, threads=3, chunk_size=10)
    assert stream_stats(BIG_VALS, threads=3).result()["count"] == BIG_N


def test_interrupt_in_a_chunk_propagates(monkeypatch):
    import vornel.parallel as par

    real = par.summarise_many

    def summarise_many(views):
        if any(len(v) and v[0] == BIG_VALS[60_000] for v in views):
            raise KeyboardInterrupt
        return real(views)

    monkeypatch.setattr(par, "summarise_many", summarise_many)
    with pytest.raises(KeyboardInterrupt):
        stream_stats(BIG_VALS, threads=2, chunk_size=20_000)
    monkeypatch.undo()
    assert bits(stream_stats(BIG_VALS, threads=2, chunk_size=20_000)) == bits(
        stream_stats(BIG_VALS, threads=1, chunk_size=20_000))


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.filterwarnings("ignore:.*multi-threaded.*fork:DeprecationWarning")
def test_forked_child_starts_its_own_helpers():
    """Helper threads do not survive fork: the child must start new ones, neither wait for
    the parent's forever nor fall back to one thread."""
    want = bits(stream_stats(BIG_VALS, threads=2))
    pid = os.fork()
    if pid == 0:
        signal.alarm(30)
        ok = False
        try:
            ok = bits(stream_stats(BIG_VALS, threads=2)) == want and threading.active_count() > 1
        finally:
            os._exit(0 if ok else 1)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
