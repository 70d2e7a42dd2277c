"""The grouped buffer loop switches strategy between blocks (runs of equal ids, scattered ids,
prefetching for large group counts); every strategy must give the reference's bits."""

import numpy as np
import pytest

from reference import Record, assert_same_result
from vornel._cycore import CyGroupedStreamStats


def reference(ids, values, n_groups):
    recs = [Record() for _ in range(n_groups)]
    for gid, x in zip(ids.tolist(), values.tolist()):
        recs[gid].update(x)
    return recs


def mixed_ids(rng, n_groups, n):
    # Alternating stretches of long runs and scattered ids, so blocks change strategy.
    parts, left = [], n
    while left > 0:
        size = min(left, int(rng.integers(1, 1200)))
        if rng.random() < 0.5:
            parts.append(np.repeat(rng.integers(0, n_groups, size=size // 50 + 1), 50)[:size])
        else:
            parts.append(rng.integers(0, n_groups, size=size))
        left -= size
    return np.concatenate(parts)


@pytest.mark.parametrize("n_groups", [1, 7, 40_000])  # 40_000 records exceed the prefetch bound
@pytest.mark.parametrize("dtype", [np.int32, np.int64])
@pytest.mark.parametrize("step", [1, -1, 2])
def test_every_strategy_matches_reference(n_groups, dtype, step):
    rng = np.random.default_rng(n_groups + step)
    n = 12_000
    ids = mixed_ids(rng, n_groups, n).astype(dtype)[::step]
    values = rng.normal(size=n)[::step]
    g = CyGroupedStreamStats(n_groups)
    g.add(ids, values)
    recs = reference(ids, values, n_groups)
    got = g.to_dict()
    for gid in np.unique(ids).tolist():
        assert_same_result(got[gid], recs[gid].result())


@pytest.mark.parametrize("layout", ["runs", "scattered"])
@pytest.mark.parametrize("n_groups", [5, 40_000])
def test_bad_id_stops_exactly_there(layout, n_groups):
    rng = np.random.default_rng(3)
    n = 3000
    if layout == "runs":
        ids = np.repeat(rng.integers(0, n_groups, size=n // 100), 100)
    else:
        ids = rng.integers(0, n_groups, size=n)
    bad_at = 2345  # past the first block, inside whichever strategy the loop chose
    ids[bad_at] = n_groups
    values = rng.normal(size=n)
    g = CyGroupedStreamStats(n_groups)
    with pytest.raises(ValueError, match=rf"^group id {n_groups} out of range \[0, {n_groups}\)$"):
        g.add(ids, values)
    recs = reference(ids[:bad_at], values[:bad_at], n_groups)
    counts = g.result_arrays()["count"]
    assert counts == [r.count for r in recs]
    got = g.to_dict()
    for gid in np.unique(ids[:bad_at]).tolist():
        assert_same_result(got[gid], recs[gid].result())
