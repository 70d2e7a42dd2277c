"""vornel.parallel: chunked summaries in a thread pool against one sequential add."""

import array
import math

import numpy as np
import pytest

from vornel import CyGroupedStreamStats, CyStreamStats
from vornel.parallel import grouped_stats, stream_stats

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


RO = np.arange(4.0)
RO.flags.writeable = False


@pytest.mark.parametrize("values, exc, words", [
    ([1.0, 2.0], TypeError, "must be a buffer"),
    (None, TypeError, "must be a buffer"),
    (np.zeros((2, 2)), ValueError, "one-dimensional"),
    (RO, ValueError, "writable"),
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
