"""Quantiles in the table layer: each group's answers are those of one QuantileSketch fed
the group's values, from every source and at every block size; summaries merge into the
sketches of one pass; names, outputs and bad arguments."""

import json
import math
import pickle

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

pa = pytest.importorskip("pyarrow")
pd = pytest.importorskip("pandas")

from test_cli import call, parse_csv_output  # noqa: E402
from vornel import QuantileSketch, describe  # noqa: E402
from vornel.table.summary import quantile_name  # noqa: E402

QS = [0.0, 0.1, 0.29, 0.5, 0.99, 1.0]


def sketch_answers(values, qs=QS, accuracy=0.01):
    s = QuantileSketch(accuracy)
    s.add(np.asarray(values, np.float64))
    return s.quantiles(qs)


def expected(keys, values):
    order = list(dict.fromkeys(keys))
    return order, {k: sketch_answers([v for kk, v in zip(keys, values) if kk == k])
                   for k in order}


@settings(max_examples=50, deadline=None)
@given(keys=st.lists(st.sampled_from(["a", "b", "c"]), min_size=1, max_size=40),
       data=st.data(), block=st.integers(1, 64), skipna=st.booleans())
def test_every_source_gives_the_sketch_of_each_group(tmp_path_factory, keys, data, block,
                                                     skipna):
    values = data.draw(st.lists(st.one_of(st.floats(-1e6, 1e6), st.just(math.nan)),
                                min_size=len(keys), max_size=len(keys)))
    order, want = expected(keys, values)
    frame = pd.DataFrame({"k": keys, "v": values})
    path = tmp_path_factory.mktemp("q") / "t.csv"
    frame.to_csv(path, index=False)
    for source, kw in ((frame, {}), (pa.Table.from_pandas(frame), {}),
                       ({"k": np.array(keys), "v": np.array(values)}, {}),
                       (path, {"block_size": block})):
        s = describe(source, by="k", columns="v", quantiles=QS, skipna=skipna, **kw)
        assert s.keys == order
        table = s.sketches["v"].quantiles(QS)
        for i, k in enumerate(order):
            np.testing.assert_array_equal(table[i], want[k])
        stats = s.stats("v")
        np.testing.assert_array_equal(stats["p29"], table[:, 2])


def test_summaries_merge_into_one_pass():
    rng = np.random.default_rng(5)
    df = pd.DataFrame({"k": rng.choice(list("wxyz"), 3000), "v": rng.lognormal(0, 2, 3000)})
    whole = describe(df, by="k", quantiles=QS)
    parts = [describe(df[lo:lo + 700], by="k", quantiles=QS) for lo in range(0, 3000, 700)]
    merged = parts[0]
    for p in parts[1:]:
        merged = merged.merge(p)
    assert merged.keys == whole.keys and merged.sketches == whole.sketches
    assert merged.to_pandas()[["p0", "p50", "p99"]].equals(whole.to_pandas()[["p0", "p50", "p99"]])
    flat = describe(df[:1000], quantiles=QS).merge(describe(df[1000:], quantiles=QS))
    assert flat.sketches == describe(df, quantiles=QS).sketches
    assert pickle.loads(pickle.dumps(whole)) == whole
    with pytest.raises(ValueError, match="quantiles"):
        whole.merge(describe(df, by="k", quantiles=[0.5]))


@pytest.mark.parametrize("q, name", [(0.5, "p50"), (0.29, "p29"), (0.999, "p99.9"),
                                     (1e-05, "p0.001"), (1.0, "p100"), (0.0, "p0"),
                                     (0.25, "p25"), (0.1, "p10"), (0.125, "p12.5")])
def test_column_names(q, name):
    assert quantile_name(q) == name


@pytest.mark.parametrize("kwargs, error", [
    ({"quantiles": [1.5]}, ValueError), ({"quantiles": [math.nan]}, ValueError),
    ({"quantiles": [0.5, 0.5]}, ValueError), ({"quantiles": ["0.5"]}, TypeError),
    ({"quantiles": [0.5], "relative_accuracy": 0}, ValueError),
])
def test_bad_quantiles(kwargs, error):
    with pytest.raises(error):
        describe({"v": np.ones(3)}, **kwargs)


def test_command_line(tmp_path):
    (tmp_path / "t.csv").write_text("k,p50,v\n" + "".join(f"a,1,{i}\n" for i in range(100)))
    out = call("describe", tmp_path / "t.csv", "-g", "k", "-c", "v", "-q", "0.5,0.999",
               "-f", "csv")
    head = out.out.splitlines()[0].split(",")
    assert head[0] == "k" and head[-2:] == ["p50", "p99.9"]
    got = parse_csv_output(out.out.replace(",p50,p99.9", ""))  # the plain columns
    assert got[("a", "v")]["count"] == 100
    (rec,) = json.loads(call("describe", tmp_path / "t.csv", "-g", "p50", "-c", "v", "-q",
                             "0.5", "--accuracy", "0.001", "-f", "json").out)
    assert rec["p50_key"] == "1" and rec["p50"] == pytest.approx(49.0, rel=0.001)
    bad = call("describe", tmp_path / "t.csv", "-q", "0.5,2")
    assert bad.rc == 2 and bad.err.count("\n") == 1 and "quantiles" in bad.err
