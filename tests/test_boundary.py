"""The table layer's input boundary: every input gets the right numbers or one clear error.
Sources of every kind, odd keys and names, damaged and moving files, and the command
line's handling of them."""

import bz2
import csv
import gzip
import io
import json
import lzma
import math
import os
import subprocess
import sys
import threading

import numpy as np
import pytest

pa = pytest.importorskip("pyarrow")
pd = pytest.importorskip("pandas")
pq = pytest.importorskip("pyarrow.parquet")

from test_cli import SITE, assert_error, call, parse_csv_output  # noqa: E402
from test_table import assert_reference  # noqa: E402
from vornel import describe, state  # noqa: E402
from vornel.table import InputError  # noqa: E402

V = [1.0, 2.0, 4.0, 8.0, 16.0, 32.0]


# ---------------------------------------------------------------- keys


@pytest.mark.parametrize("container", ["pandas", "dict", "dask"])
@pytest.mark.parametrize("dtype", [np.int8, np.int64, np.uint32])
def test_integer_key_beside_another_key(container, dtype):
    a = np.array([3, 1, 3, 2, 1, 3], dtype)
    b = np.array(["x", "y", "x", "x", "y", "z"], object)
    data = {"a": a, "b": b, "v": np.array(V)}
    if container == "pandas":
        s = describe(pd.DataFrame(data), by=["a", "b"])
    elif container == "dict":
        s = describe(data, by=["a", "b"])
    else:
        dd = pytest.importorskip("dask.dataframe")
        s = pytest.importorskip("vornel.dask").describe(
            dd.from_pandas(pd.DataFrame(data), npartitions=1), by=["a", "b"])
    assert_reference(s, list(zip(a.tolist(), b.tolist())), {"v": V})


def dictionary(index_type):
    indices = pa.array([1, None, 0, 1, None, 2], index_type)
    return pa.DictionaryArray.from_arrays(indices, pa.array(["q", "p", "r"]))


def test_float_keys_beside_other_keys():
    """NaN and null are one missing key, -0.0 and 0.0 one key, in key tuples too."""
    f = pa.array([math.nan, None, -0.0, 0.0, 1.5, math.nan])
    a = pa.array([1, 1, 1, 1, 1, 1])
    want = [(1, None), (1, None), (1, 0.0), (1, 0.0), (1, 1.5), (1, None)]
    for data in (pa.table({"a": a, "f": f, "v": V}),
                 {"a": a, "f": f, "v": np.array(V)}):
        s = describe(data, by=["a", "f"])
        assert_reference(s, want, {"v": V})


@pytest.mark.parametrize("index_type", [pa.int8(), pa.uint8(), pa.uint16(), pa.uint32(),
                                        pa.uint64()])
def test_dictionary_keys_with_nulls(index_type):
    keys = dictionary(index_type)
    s = describe(pa.table({"k": keys, "v": V}), by="k")
    assert_reference(s, keys.to_pylist(), {"v": V})
    two = describe(pa.table({"k": keys, "j": pa.array([1, 1, 1, 2, 2, 2]), "v": V}),
                   by=["k", "j"])
    assert_reference(two, list(zip(keys.to_pylist(), [1, 1, 1, 2, 2, 2])), {"v": V})


def test_polars_categoricals_with_nulls():
    pl = pytest.importorskip("polars")
    keys = ["b", None, "a", "b", None, "c"]
    for dtype in (pl.Categorical, pl.Enum(["c", "b", "a"])):
        df = pl.DataFrame({"k": pl.Series(keys, dtype=dtype), "v": V})
        assert_reference(describe(df, by="k"), keys, {"v": V})


@pytest.mark.parametrize("column", [
    pa.array([[1], [2], [1], [2], [1], [2]]),
    pa.array([{"x": 1}, {"x": 2}] * 3),
    pa.array([[("a", 1)], [("b", 2)]] * 3, pa.map_(pa.string(), pa.int64())),
], ids=["list", "struct", "map"])
def test_nested_keys_are_refused(tmp_path, column):
    table = pa.table({"k": column, "v": V})
    pq.write_table(table, tmp_path / "n.parquet")
    for data in (table, tmp_path / "n.parquet"):
        with pytest.raises(InputError, match="cannot group by a column of type"):
            describe(data, by="k")
    with pytest.raises(InputError, match="group keys must be hashable"):
        describe(pd.DataFrame({"k": column.to_pylist(), "v": V}), by="k")


# ---------------------------------------------------------------- several files


def test_key_types_across_files(tmp_path):
    pq.write_table(pa.table({"k": pa.array([1, 2], pa.int32()), "v": [1.0, 2.0]}),
                   tmp_path / "i32.parquet")
    pq.write_table(pa.table({"k": pa.array([2, 3], pa.int64()), "v": [4.0, 8.0]}),
                   tmp_path / "i64.parquet")
    pq.write_table(pa.table({"k": [1.0, 2.0], "v": [1.0, 2.0]}), tmp_path / "f.parquet")
    (tmp_path / "t.csv").write_text("k,v\n1,16\n")
    s = describe([tmp_path / "i32.parquet", tmp_path / "i64.parquet"], by="k")
    assert s.keys == [1, 2, 3] and s.to_dict()[2]["v"]["sum"] == 6.0
    for other, kind in (("f.parquet", "float"), ("t.csv", "text")):
        with pytest.raises(InputError) as e:
            describe([tmp_path / "i32.parquet", tmp_path / other], by="k")
        assert "i32.parquet" in str(e.value) and other in str(e.value)
        assert "integer" in str(e.value) and kind in str(e.value)


def test_merge_refuses_keys_of_another_kind():
    ints = describe({"k": np.array([1, 2]), "v": np.ones(2)}, by="k")
    for keys in (np.array(["1", "2"]), np.array([True, False])):
        other = describe({"k": keys, "v": np.ones(2)}, by="k")
        with pytest.raises(ValueError, match="type of key column 'k'"):
            ints.merge(other)
    # Keys of mixed kinds match by kind and value: 1 and True stay two groups.
    mixed = describe({"k": np.array([1, "a"], object), "v": np.ones(2)}, by="k")
    other = describe({"k": np.array([True, "a"], object), "v": np.ones(2)}, by="k")
    m = mixed.merge(other)
    assert m.keys == [1, "a", True]
    assert m.to_arrow().column("k").to_pylist() == ["1", "a", "True"]


# ---------------------------------------------------------------- data and names


def test_series_and_dicts_of_columns():
    pl = pytest.importorskip("polars")
    want = describe({"x": np.array(V)})
    assert describe(pd.Series(V, name="x")) == want
    assert describe(pl.Series("x", V)) == want
    assert describe(pd.Series(V)).columns == ["value"]
    assert describe(pl.Series(V)).columns == ["value"]
    k = ["a", "b", "a", None, "b", "a"]
    for data in ({"k": pd.Series(k), "x": pd.Series(V)},
                 {"k": pl.Series(k), "x": pl.Series(V)},
                 {"k": pa.array(k), "x": pa.array(V)},
                 {"k": pa.chunked_array([k[:2], k[2:]]), "x": pd.Series(V)}):
        assert describe(data, by="k") == describe({"k": np.array(k, object), "x": np.array(V)},
                                                  by="k")


def test_polars_columns_that_arrow_cannot_take():
    pl = pytest.importorskip("polars")
    df = pl.DataFrame({"big": pl.Series([1, 2, 3, 4, 5, 6], dtype=pl.Int128), "v": V})
    assert describe(df) == describe({"v": np.array(V)})
    for kwargs in ({"columns": "big"}, {"by": "big"}):
        with pytest.raises(InputError, match="column 'big': dtype Int128"):
            describe(df, **kwargs)


def test_tuple_and_integer_column_names():
    cols = pd.MultiIndex.from_tuples([("a", "k"), ("a", "x"), ("b", "x")])
    df = pd.DataFrame({("a", "k"): list("pqpqpq"), ("a", "x"): V, ("b", "x"): V}, columns=cols)
    s = describe(df, by=("a", "k"), columns=[("a", "x")])
    assert s.columns == [("a", "x")] and s.keys == ["p", "q"]
    frame = s.to_pandas()
    assert frame.index.tolist() == [("p", ("a", "x")), ("q", ("a", "x"))]
    assert frame["sum"].tolist() == [21.0, 42.0]
    assert s.to_arrow().column_names[:2] == ["('a', 'k')", "column"]
    assert s.to_dict()["q"][("a", "x")]["count"] == 3
    assert describe(df).to_pandas().index.tolist() == [("a", "x"), ("b", "x")]
    ints = describe(pd.DataFrame({0: list("pqpqpq"), 1: V}), by=0, columns=[1])
    assert ints.to_dict()["p"][1]["sum"] == 21.0


@pytest.mark.parametrize("kwargs, error, match", [
    ({"by": []}, None, None),
    ({"na_values": "NA"}, None, None),
    ({"block_size": 2.5}, TypeError, "block_size must be an int"),
    ({"block_size": True}, TypeError, "block_size must be an int"),
    ({"na_values": [1]}, TypeError, "na_values"),
    ({"columns": "s"}, InputError, "column 's': not numeric"),
    ({"columns": "o"}, InputError, "column 'o': not numeric"),
])
def test_arguments(kwargs, error, match):
    df = pd.DataFrame({"v": V, "s": pd.array(["1"] * 6, "string"),
                       "o": np.array(["1"] * 6, object)})
    if error is None:
        assert describe(df, **kwargs) == describe(df, columns="v")
        return
    with pytest.raises(error, match=match):
        describe(df, **kwargs)


def test_nothing_to_summarise_names_every_column(tmp_path):
    df = pd.DataFrame({"k": list("ab"), "t": ["x", "y"], "d": pd.to_datetime(["2020"] * 2)})
    with pytest.raises(InputError, match="'k' is a group-by column, 't' is not numeric "
                                         r"\(dtype object\), 'd' is not numeric"):
        describe(df, by="k")
    (tmp_path / "t.csv").write_text("k,t,e\na,x,\nb,y,NA\n")
    with pytest.raises(InputError, match="'k' is a group-by column, 't' is text, 'e' holds "
                                         "no number"):
        describe(tmp_path / "t.csv", by="k")


# ---------------------------------------------------------------- numbers


@pytest.mark.parametrize("values, mean", [
    ([math.inf, 1.0], math.inf), ([1.0, math.inf], math.inf), ([-math.inf, 2.0], -math.inf),
    ([math.inf, math.inf], math.inf), ([math.inf, -math.inf], math.nan),
    ([math.inf, math.nan], math.nan), ([1e308, 1e308], 1e308),
])
def test_mean_of_infinities(values, mean):
    s = describe({"v": np.array(values)}, skipna=False)
    got = s.to_dict()["v"]["mean"]
    assert got == mean or (math.isnan(got) and math.isnan(mean))
    assert state.finalise(s.records["v"])["mean"] == got or math.isnan(got)


# ---------------------------------------------------------------- CSV text


def test_key_cells_that_are_missing(tmp_path):
    (tmp_path / "k.csv").write_text('k,v\nNA,1\nnull,2\n,4\n"",8\nNA,16\n')
    s = describe(tmp_path / "k.csv", by="k")
    assert s.keys == ["NA", "null", None]
    assert s.to_dict()[None]["v"]["sum"] == 12.0
    s = describe(tmp_path / "k.csv", by="k", key_na_values=["", "NA"])
    assert s.keys == [None, "null"] and s.to_dict()[None]["v"]["sum"] == 29.0
    assert describe(tmp_path / "k.csv", by="k", key_na_values=[]).keys == ["NA", "null", ""]
    out = call("describe", tmp_path / "k.csv", "-g", "k", "--key-na-values", "NA,null,",
               "-f", "csv")
    assert parse_csv_output(out.out)[(None, "v")]["sum"] == 31.0


def test_long_records(tmp_path):
    long = "x" * (20 << 20)  # past a range and pyarrow's parse block
    (tmp_path / "long.csv").write_text(f'k,v\na,1\n"{long}",2\nb,4\n')
    s = describe(tmp_path / "long.csv", by="k")
    assert [k[:3] for k in s.keys] == ["a", "xxx", "b"]


@pytest.mark.parametrize("text, line, fault", [
    ('k,v\na,1\nb,"2\n', 3, "a quoted field never closes"),
    ('k,v\na,1\n"b,2\nc,3\n', 3, "a quoted field never closes"),
    ('k,v\na,1\nb,"2""3', 3, "a quoted field never closes"),
    ('k,"v\na,1\n', 1, "a quoted field never closes"),
    ('k,v"\n"a\nb",1\n', 1, "a quote inside an unquoted field"),
    ('k,v\nq"a,1\n"a\nb",2\n"a\nb",4\n', 2, "a quote inside an unquoted field"),
    ('k,v\na,1\n"b"c,2\n', 3, "text after the closing quote"),
])
@pytest.mark.parametrize("block_size", [8, 1 << 20])
def test_quotes_out_of_place(tmp_path, text, line, fault, block_size):
    """Quotes that break the quoting rules are errors at every range size: the ranges are cut
    by counting quotes, which only such text keeps apart from the size."""
    (tmp_path / "q.csv").write_text(text)
    for kwargs in ({}, {"columns": "v"}, {"by": "k"}):
        with pytest.raises(InputError, match=f"q.csv, line {line}: {fault}"):
            describe(tmp_path / "q.csv", block_size=block_size, **kwargs)


def test_files_that_change_while_read(tmp_path):
    path = tmp_path / "f.csv"
    text = "v\n" + "1\n" * 50_000
    path.write_text(text)
    done = []

    def truncate(n):
        if not done:
            done.append(n)
            os.truncate(path, 20_000)

    with pytest.raises(InputError, match="f.csv: the file ended after 20000 of the 100002 "
                                         "bytes it held when opened"):
        describe(path, block_size=4096, progress=truncate)
    path.write_text(text)

    def grow(n):
        with open(path, "a") as f:
            f.write("1000\n")

    assert describe(path, block_size=4096, progress=grow).to_dict()["v"]["sum"] == 50_000.0


# ---------------------------------------------------------------- the command line


def process(args, **kw):
    return subprocess.run([sys.executable, "-m", "vornel", "describe", *map(str, args)],
                          capture_output=True, env=dict(os.environ, PYTHONPATH=SITE),
                          timeout=60, **kw)


CSV = b"k,v\n" + b"".join(b"k%d,%d.5\n" % (i % 3, i) for i in range(3000))


def test_paths_that_are_pipes(tmp_path):
    (tmp_path / "f.csv").write_bytes(CSV)
    want = process([tmp_path / "f.csv", "-g", "k", "-f", "csv"])
    assert want.returncode == 0
    r, w = os.pipe()
    writer = threading.Thread(target=lambda: (os.write(w, CSV), os.close(w)))
    writer.start()
    got = process([f"/dev/fd/{r}", "-g", "k", "-f", "csv"], pass_fds=[r])
    writer.join()
    os.close(r)
    assert got.stdout == want.stdout
    assert process(["/dev/stdin", "-g", "k", "-f", "csv"], input=CSV).stdout == want.stdout
    fifo = tmp_path / "fifo.csv.gz"
    os.mkfifo(fifo)

    def feed():
        with open(fifo, "wb") as f:
            f.write(gzip.compress(CSV))

    writer = threading.Thread(target=feed)
    writer.start()
    assert process([fifo, "-g", "k", "-f", "csv"]).stdout == want.stdout
    writer.join()


def damaged():
    gz = gzip.compress(CSV * 40)
    mid = bytearray(gz)
    mid[len(gz) // 2] ^= 0xFF
    xz = bytearray(lzma.compress(CSV))
    xz[len(xz) // 2] ^= 0xFF
    from compression import zstd

    zs = bytearray(zstd.compress(CSV * 40))
    zs[len(zs) // 2] ^= 0xFF
    out = io.BytesIO()
    pq.write_table(pa.table({"zz": [1.0]}), out, compression="none")
    page = bytearray(out.getvalue())
    page[4] = 0  # a page header thrift cannot read: a message of several lines
    header = b"{'descr': '<f8\x00, 'fortran_order': False, 'shape': (1,), }"
    out = io.BytesIO()
    np.save(out, np.array([("\ud800", 1.0)], dtype=[("k", "U1"), ("x", "f8")]))
    crc = bytearray(gz)
    crc[-8] ^= 1
    return {"gz truncated": ("d.csv.gz", gz[:2000]), "gz corrupted": ("d.csv.gz", bytes(mid)),
            "gz checksum": ("d.csv.gz", bytes(crc)), "gz length": ("d.csv.gz", gz[:-1] + b"\1"),
            "gz junk after": ("d.csv.gz", gz + b"\0\0junk"),
            "gz member cut": ("d.csv.gz", gz + gz[:30]),
            "bz2 truncated": ("d.csv.bz2", bz2.compress(CSV)[:500]),
            "xz corrupted": ("d.csv.xz", bytes(xz)), "zst corrupted": ("d.csv.zst", bytes(zs)),
            "parquet page": ("d.parquet", bytes(page)),
            "parquet name": ("d.parquet", out_parquet_named(b"\xff\xfe")),
            "npy header": ("d.npy", b"\x93NUMPY\x01\x00" + bytes([len(header) + 1, 0])
                           + header + b"\n" + bytes(8)),
            "npy text key": ("d.npy", out.getvalue())}


@pytest.mark.parametrize("parts, padding", [(1, b""), (1, b"\0" * 3), (3, b""), (5, b"\0")])
def test_gzip_members_read_in_turn(tmp_path, parts, padding):
    # Members one after another (zero bytes between and after allowed) hold one text.
    cut = [len(CSV) * i // parts for i in range(parts + 1)]
    path = tmp_path / "m.csv.gz"
    path.write_bytes(b"".join(gzip.compress(CSV[a:b]) + padding
                              for a, b in zip(cut, cut[1:])))
    (tmp_path / "m.csv").write_bytes(CSV)
    assert describe(str(path), by="k", block_size=997) == describe(str(tmp_path / "m.csv"),
                                                                   by="k")


def out_parquet_named(name):
    out = io.BytesIO()
    pq.write_table(pa.table({"zz": [1.0]}), out, compression="none")
    return out.getvalue().replace(b"zz", name)


@pytest.mark.parametrize("case", list(damaged()))
def test_damaged_files(tmp_path, case):
    name, data = damaged()[case]
    (tmp_path / name).write_bytes(data)
    # Damage that still decompresses (zstd frames carry no checksum) is a CSV fault then.
    assert_error(call("describe", tmp_path / name, "-g", "k" if "key" in case else "zz"),
                 f"{tmp_path / name}")


def test_key_names_in_the_outputs(tmp_path):
    (tmp_path / "n.csv").write_text('column,count,"a,b",v\nx\x1b[31m,1,"two\nlines",5\n')
    out = call("describe", tmp_path / "n.csv", "-g", "column", "-g", "count", "-g", "a,b",
               "-f", "csv")
    head, row = list(csv_rows(out.out))
    assert head[:4] == ["column_key", "count_key", "a,b", "column"]
    assert row[:4] == ["x\x1b[31m", "1", "two\nlines", "v"]
    table = call("describe", tmp_path / "n.csv", "-g", "column", "-g", "a,b", "-c", "v").out
    assert "\x1b" not in table and "x\\x1b[31m" in table and "two\\nlines" in table
    assert len(table.splitlines()) == 2
    rec = json.loads(call("describe", tmp_path / "n.csv", "-g", "count", "-f", "json").out)[0]
    assert rec["count_key"] == "1" and rec["count"] == 1


def csv_rows(text):
    return csv.reader(io.StringIO(text))
