"""vornel.dask.describe: partition summaries merged in partition order, the same bits under
every scheduler."""

import numpy as np
import pytest

dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")
pd = pytest.importorskip("pandas")

import vornel  # noqa: E402
from vornel.dask import describe  # noqa: E402
from vornel.table import InputError  # noqa: E402

N = 5_000
RNG = np.random.default_rng(21)
DF = pd.DataFrame({
    "k": RNG.choice(["b", "a", None, "c"], N),
    "n": RNG.integers(-9, 9, N),
    "x": np.where(RNG.random(N) < 0.1, np.nan, RNG.standard_normal(N)),
    "label": RNG.choice(["p", "q"], N),
})
DDF = dd.from_pandas(DF, npartitions=7, sort=False)


def by_partition(ddf, **kw):
    """The documented result, built by hand: partition summaries merged left to right in
    runs of eight (seven partitions: one run)."""
    parts = [vornel.describe(p, **kw) for p in ddf.to_delayed()
             for p in [p.compute()]]
    out = parts[0]
    for p in parts[1:]:
        out = out.merge(p)
    return out


@pytest.mark.parametrize("kw", [{}, {"by": "k"}, {"by": ["k", "label"], "skipna": False}])
def test_partition_order_merge(kw):
    got = describe(DDF, **kw)
    assert got == by_partition(DDF, columns=got.columns, **kw)
    assert got.columns == ["n", "x"]
    if "by" in kw:
        # First appearance over the whole frame, whatever the partitioning.
        one = vornel.describe(DF, **kw)
        assert got.keys == one.keys
        pd.testing.assert_frame_equal(got.to_pandas(), one.to_pandas(), rtol=1e-12)


@pytest.mark.parametrize("scheduler", ["synchronous", "threads",
                                       pytest.param("processes", marks=pytest.mark.cluster)])
def test_same_bits_under_every_scheduler(scheduler):
    ref = describe(DDF, by="k")
    with dask.config.set(scheduler=scheduler):
        assert describe(DDF, by="k") == ref
        assert describe(DDF, by="k", split_every=2) == describe(DDF, by="k", split_every=2)


@pytest.mark.parametrize("kw, exc, words", [
    ({"by": "nope"}, InputError, "no column named 'nope'"),
    ({"columns": ["label"]}, InputError, "not numeric"),
    ({"split_every": 1}, ValueError, "split_every"),
])
def test_checks_before_tasks(kw, exc, words):
    with pytest.raises(exc, match=words):
        describe(DDF, **kw)


def test_not_a_dask_frame():
    with pytest.raises(TypeError, match="dask DataFrame"):
        describe(DF)
