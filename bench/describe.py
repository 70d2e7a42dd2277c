"""Benchmark of grouped summaries, whole runs: vornel against DuckDB, Polars, pandas, datamash.

Generates (once, cached under build/bench-data/, seeded) telemetry CSVs of n rows
`station,temperature,humidity,pressure`: stations in random order, three float columns as
fixed three-decimal text (`-3.521`, `71.234`, `1013.254`). The main file has n = 10^7 rows
over 1,000 stations (340 MiB); a second has the same shape over 10^6 distinct keys;
a third is the main file's rows four times over (1.43 GB), to see peak memory on a
file much larger than any buffer.

Every tool computes count, sum, mean, min, max, population variance and standard deviation
of the three columns per station, writes them as CSV to standard output (/dev/null here),
and is timed as a whole process from start to exit (Python start-up and imports included),
with its peak resident memory (ru_maxrss from wait4: the largest of the process and the
children it waited for). Rounds run every tool once, in an order rotated by round;
figures are medians.

- vornel: `python -m vornel describe FILE -g station -f csv`;
- DuckDB: `COPY (SELECT station, count(x), sum(x), avg(x), min(x), max(x), var_pop(x),
  stddev_pop(x) ... FROM read_csv(FILE) GROUP BY station) TO '/dev/stdout'`;
- Polars: `pl.scan_csv(FILE).group_by("station").agg(...)`, var and std with ddof=0,
  `.collect().write_csv(stdout)`;
- pandas: `read_csv(FILE, chunksize=10^6)` with per-chunk groupby count, sum, var(ddof=0)
  (as squared deviations), min and max, folded into a running total per station after
  each chunk (what a pandas user does for a file that may not fit in memory);
- datamash: `datamash -s -t, -H groupby 1 count 2 sum 2 mean 2 min 2 max 2 pvar 2 pstdev 2
  ... < FILE` (main file only, fewer rounds: it sorts first);
- native floor: bench/csv_floor.cpp, a plain C++ program built here (g++ -O2): the file
  mapped, its halves parsed on one thread each (memchr, std::from_chars, an
  open-addressing key map), one fold per column in file order with the project's own
  update step, output in vornel's number form. No dialect beyond these files.

Then, on the main file: the same with quantiles (`-q 0.25,0.5,0.75` against DuckDB's
approx_quantile and Polars' exact quantile); the file gzip-compressed (vornel, DuckDB,
Polars); vornel with --threads 1 beside 2, and its parse alone in one process at 1 and 2
threads; and the start-up of Python, NumPy and vornel's command line.

Before timing, every tool runs on a small file of the same layout and its seven
statistics are checked against DuckDB's (counts exactly, the rest to 1e-9 relative).

In memory: a pandas DataFrame of the main file's rows, keyed four ways (categorical,
int64, object strings, string[pyarrow]); `vornel.describe(df, by="station").to_pandas()`
against pandas' fastest groupby spelling of the same seven statistics.

Writes its tables into docs/benchmarks.md and its plot into docs/img/describe.png.

Run:  tools/devenv run python bench/describe.py [--quick] [--skip-4x] [--skip-memory]
      [--rounds N] [--no-docs]
"""

import argparse
import csv
import importlib.metadata
import io
import json
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

DATA = os.path.join(rep.REPO, "build", "bench-data")
COLUMNS = ("temperature", "humidity", "pressure")
STATS = ("count", "sum", "mean", "min", "max", "var", "std")
CHUNK = 10**6  # rows generated (and formatted) at a time
LAYOUT = 1  # bump when the generated text changes, so cached files are remade
RSS_TARGET_MIB = 256  # vornel's peak RSS on the 4x file, at most
MAIN_TARGET, MAIN_STRETCH = 0.9, 0.7  # 1,000 stations: times the faster of DuckDB, Polars
MANY_TARGET, MANY_STRETCH = 1.0, 0.7  # 10^6 keys, the same
PARSE_TARGET = 1.8  # the parse on 2 threads, times its speed on one, at least
FLOOR_SRC = os.path.join(rep.REPO, "bench", "csv_floor.cpp")
FLOOR_BIN = os.path.join(rep.REPO, "build", "bench-bin", "csv_floor")
MEM_TARGETS = {"categorical": 5.0, "int64": 4.0, "object": 2.0, "string[pyarrow]": 2.0}
RTOL = 1e-9

# --------------------------------------------------------------------------- data


def station_names(keys):
    width = max(4, len(str(keys - 1)))
    return [f"station_{i:0{width}d}" for i in range(keys)]


def telemetry_chunks(n, keys, seed):
    """(station index, temperature, humidity, pressure) in thousandths, CHUNK rows at a time.

    Values are integers of thousandths so that the text is exact and the in-memory frame
    (value / 1000, correctly rounded) holds the very doubles that parsing the text gives."""
    base = np.random.default_rng([seed, keys])
    t0 = base.uniform(-10.0, 30.0, keys)
    h0 = base.uniform(30.0, 90.0, keys)
    p0 = base.uniform(995.0, 1025.0, keys)
    for i, start in enumerate(range(0, n, CHUNK)):
        m = min(CHUNK, n - start)
        rng = np.random.default_rng([seed, keys, i])
        idx = rng.integers(0, keys, m)
        t = t0[idx] + rng.normal(0.0, 6.0, m)
        h = np.clip(h0[idx] + rng.normal(0.0, 12.0, m), 0.0, 100.0)
        p = p0[idx] + rng.normal(0.0, 6.0, m)
        yield idx, *(np.rint(x * 1000.0).astype(np.int64) for x in (t, h, p))


def _fixed3(milli):
    """Text of thousandths with three decimals, vectorised: -3521 -> '-3.521'."""
    import pyarrow as pa
    import pyarrow.compute as pc

    a = np.abs(milli)
    whole = pc.cast(pa.array(a // 1000), pa.string())
    frac = pc.utf8_lpad(pc.cast(pa.array(a % 1000), pa.string()), 3, "0")
    sign = pc.if_else(pa.array(milli < 0), "-", "")
    return pc.binary_join_element_wise(sign, whole, ".", frac, "")


def make_csv(n, keys, seed=7):
    """build/bench-data/telemetry-<n>-<keys>-<seed>-v<LAYOUT>.csv, made once."""
    import pyarrow as pa
    import pyarrow.csv as pcsv

    os.makedirs(DATA, exist_ok=True)
    path = os.path.join(DATA, f"telemetry-{n}-{keys}-{seed}-v{LAYOUT}.csv")
    if os.path.exists(path):
        return path
    names = pa.array(station_names(keys))
    tmp = path + ".tmp"
    opts = pcsv.WriteOptions(include_header=False, quoting_style="none")
    schema = pa.schema([(c, pa.string()) for c in ("station", *COLUMNS)])
    with open(tmp, "wb") as f:
        f.write(("station," + ",".join(COLUMNS) + "\n").encode())
        with pcsv.CSVWriter(f, schema, write_options=opts) as w:
            for idx, *vals in telemetry_chunks(n, keys, seed):
                w.write_table(pa.table([names.take(pa.array(idx)), *map(_fixed3, vals)],
                                       schema=schema))
    os.replace(tmp, path)
    return path


def make_repeated(path, times):
    """The file at path with its data rows `times` times over (one header), made once."""
    out = path.replace(".csv", f"-x{times}.csv")
    if os.path.exists(out):
        return out
    tmp = out + ".tmp"
    with open(path, "rb") as src, open(tmp, "wb") as dst:
        dst.write(src.readline())
        body = src.tell()
        for _ in range(times):
            src.seek(body)
            shutil.copyfileobj(src, dst, 16 << 20)
    os.replace(tmp, out)
    return out


def warm(path):
    """Reads the file once, so that every timed run finds it in the page cache."""
    with open(path, "rb") as f:
        while f.read(16 << 20):
            pass


# --------------------------------------------------------------------------- tools

# Each script takes the file as argv[1] and writes one CSV row per station to stdout:
# station, then for each column its seven statistics in STATS order.

DUCKDB = """
import sys, duckdb
cols = {cols!r}
aggs = ", ".join(f"count({{c}}), sum({{c}}), avg({{c}}), min({{c}}), max({{c}}), "
                 f"var_pop({{c}}), stddev_pop({{c}})" for c in cols)
path = sys.argv[1].replace("'", "''")
duckdb.sql(f"COPY (SELECT station, {{aggs}} FROM read_csv('{{path}}') GROUP BY station) "
           f"TO '/dev/stdout' (FORMAT csv, HEADER)")
""".format(cols=COLUMNS)

POLARS = """
import sys, polars as pl
cols = {cols!r}
aggs = []
for c in cols:
    x = pl.col(c)
    aggs += [x.count().alias(c + "_count"), x.sum().alias(c + "_sum"),
             x.mean().alias(c + "_mean"), x.min().alias(c + "_min"), x.max().alias(c + "_max"),
             x.var(ddof=0).alias(c + "_var"), x.std(ddof=0).alias(c + "_std")]
pl.scan_csv(sys.argv[1]).group_by("station").agg(aggs).collect({engine}).write_csv(
    sys.stdout.buffer)
"""

# Partials per chunk (count, sum, sum of squared deviations from the chunk's mean, min,
# max), folded into a running total after each chunk, so memory stays bounded by the
# number of stations rather than growing with the file. Squared deviations rather than
# raw sums of squares: those cancel catastrophically for a station with a small spread
# around a large mean (pressure), off by 1e-7 relative on the check file.
PANDAS = """
import sys, numpy as np, pandas as pd
cols = list({cols!r})
fold = {{(k, c): f for k, f in (("count", "sum"), ("sum", "sum"), ("m2", "sum"), ("min", "min"),
                               ("max", "max")) for c in cols}}
total = None
for chunk in pd.read_csv(sys.argv[1], chunksize=int(sys.argv[2])):
    g = chunk.groupby("station", sort=False)
    n = g[cols].count()
    part = pd.concat({{"count": n, "sum": g[cols].sum(), "m2": g[cols].var(ddof=0) * n,
                       "min": g[cols].min(), "max": g[cols].max()}}, axis=1)
    if total is not None:
        both = pd.concat([total, part])
        part = both.groupby(level=0, sort=False).agg(fold)
        # Each partial's squared deviations are about its own mean: add n (mean - total mean)^2.
        mean = (part["sum"] / part["count"]).reindex(both.index)
        dev = (both["count"] * (both["sum"] / both["count"] - mean) ** 2).groupby(
            level=0, sort=False).sum()
        for c in cols:
            part[("m2", c)] += dev[c]
    total = part
out = {{}}
for c in cols:
    n, s = total[("count", c)], total[("sum", c)]
    var = total[("m2", c)] / n
    out.update({{c + "_count": n, c + "_sum": s, c + "_mean": s / n,
                c + "_min": total[("min", c)], c + "_max": total[("max", c)],
                c + "_var": var, c + "_std": np.sqrt(var)}})
pd.DataFrame(out).to_csv(sys.stdout, index_label="station")
""".format(cols=COLUMNS)


def build_floor():
    """Builds bench/csv_floor.cpp (when changed) into build/bench-bin; its path, or None
    when there is no g++."""
    if shutil.which("g++") is None:
        return None
    if (os.path.exists(FLOOR_BIN)
            and os.path.getmtime(FLOOR_BIN) >= os.path.getmtime(FLOOR_SRC)):
        return FLOOR_BIN
    os.makedirs(os.path.dirname(FLOOR_BIN), exist_ok=True)
    subprocess.run(["g++", "-O2", "-std=c++20", "-ffp-contract=off", "-pthread",
                    "-I" + os.path.join(rep.REPO, "src", "vornel"), FLOOR_SRC, "-o", FLOOR_BIN],
                   check=True)
    return FLOOR_BIN


def commands(path, chunk=CHUNK):
    """Tool name -> (argv, stdin path or None); chunk is pandas' rows per chunk. The native
    floor is there once build_floor() has built it."""
    py = sys.executable
    ops = [w for i in range(2, 2 + len(COLUMNS))
           for s in ("count", "sum", "mean", "min", "max", "pvar", "pstdev") for w in (s, str(i))]
    tools = {
        "vornel": ([py, "-m", "vornel", "describe", path, "-g", "station", "-f", "csv"], None),
        "DuckDB": ([py, "-c", DUCKDB, path], None),
        "Polars": ([py, "-c", POLARS.format(cols=COLUMNS, engine=""), path], None),
        "pandas": ([py, "-c", PANDAS, path, str(chunk)], None),
        "datamash": (["datamash", "-s", "-t,", "-H", "groupby", "1", *ops], path),
    }
    if os.path.exists(FLOOR_BIN) and not path.endswith(".gz"):
        tools["native floor"] = ([FLOOR_BIN, path, str(cpu_count())], None)
    return tools


def cpu_count():
    return getattr(os, "process_cpu_count", os.cpu_count)() or 1


def polars_streaming(path):
    return [sys.executable, "-c", POLARS.format(cols=COLUMNS, engine='engine="streaming"'),
            path]


# Runs one command per request line (JSON: argv, stdin, stdout) and answers with its wall
# time, exit status, ru_maxrss, CPU seconds (user + system) and stderr's tail. Whole runs
# start from this small process rather than from the benchmark: Linux charges a child, at
# exec, the peak RSS of the memory it was (v)forked from, so children of the benchmark
# (hundreds of MiB of data) would all report at least its peak. This launcher's own peak (a
# bare Python) is the floor instead.
LAUNCHER = """
import json, os, subprocess, sys, tempfile, time
for line in sys.stdin:
    req = json.loads(line)
    with tempfile.TemporaryFile() as err, open(req["stdin"] or os.devnull, "rb") as fin, \\
            open(req["stdout"] or os.devnull, "wb") as fout:
        t0 = time.perf_counter()
        p = subprocess.Popen(req["argv"], stdin=fin, stdout=fout, stderr=err)
        # wait4 rather than Popen.wait: it hands back the child's resource usage.
        _, status, usage = os.wait4(p.pid, 0)
        dt = time.perf_counter() - t0
        p.returncode = rc = os.waitstatus_to_exitcode(status)
        err.seek(0)
        tail = err.read().decode(errors="replace").strip().splitlines()[-5:]
    print(json.dumps({"dt": dt, "rc": rc, "maxrss": usage.ru_maxrss,
                      "cpu": usage.ru_utime + usage.ru_stime, "err": tail}), flush=True)
"""
_launcher = None


def run(cmd, stdin_path=None, stdout=None):
    """One whole run: (wall seconds, peak RSS in MiB). Raises with stderr on failure."""
    dt, mib, _ = run_usage(cmd, stdin_path, stdout)
    return dt, mib


def run_usage(cmd, stdin_path=None, stdout=None):
    """One whole run: (wall seconds, peak RSS in MiB, CPU seconds of the process and the
    children it waited for, user + system). Raises with stderr on failure."""
    global _launcher
    if _launcher is None:
        _launcher = subprocess.Popen([sys.executable, "-c", LAUNCHER], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True)
    _launcher.stdin.write(json.dumps({"argv": cmd, "stdin": stdin_path, "stdout": stdout})
                          + "\n")
    _launcher.stdin.flush()
    res = json.loads(_launcher.stdout.readline())
    if res["rc"] != 0:
        raise RuntimeError(f"exit status {res['rc']}: " + " | ".join(res["err"]))
    return res["dt"], res["maxrss"] / 1024, res["cpu"]  # Linux reports ru_maxrss in KiB


# --------------------------------------------------------------------------- check


def parse(tool, text):
    """(station, column) -> [count, sum, mean, min, max, var, std] from a tool's CSV."""
    rows = list(csv.reader(io.StringIO(text)))
    out = {}
    if tool in ("vornel", "native floor"):  # long: group, column, then the seven statistics
        head = rows[0]
        at = [head.index(s) for s in STATS]
        for r in rows[1:]:
            out[(r[0], r[1])] = [float(r[i]) for i in at]
        return out
    for r in rows[1:]:  # wide: station, then seven per column in order
        for j, c in enumerate(COLUMNS):
            out[(r[0], c)] = [float(x) for x in r[1 + 7 * j:8 + 7 * j]]
    return out


def disagreement(ref, got, ref_name="DuckDB"):
    """None when got matches ref ({key: [count, then the other STATS]}: counts exactly, the
    rest to RTOL), else what differs."""
    if ref.keys() != got.keys():
        return f"{len(ref.keys() ^ got.keys())} keys not in both"
    for key, want in ref.items():
        have = got[key]
        if want[0] != have[0]:
            return f"{key}: count {have[0]:g}, {ref_name} {want[0]:g}"
        for s, a, b in zip(STATS[1:], want[1:], have[1:]):
            if not math.isclose(a, b, rel_tol=RTOL, abs_tol=RTOL):
                return f"{key}: {s} {b!r}, {ref_name} {a!r}"
    return None


def check(tools, path):
    """Runs every tool on path; returns (tools that agree with DuckDB, notes)."""
    outs, notes = {}, []
    for name, (cmd, stdin) in tools.items():
        out = os.path.join(DATA, f"check-{name}.csv")
        try:
            run(cmd, stdin, stdout=out)
            with open(out) as f:
                outs[name] = parse(name, f.read())
        except Exception as e:  # a broken tool drops out of the timing, with the reason
            notes.append(f"{name}: failed on the check file ({e})")
    if "DuckDB" not in outs:
        raise SystemExit("DuckDB failed on the check file: " + "; ".join(notes))
    ok = ["DuckDB"]
    for name, got in outs.items():
        if name == "DuckDB":
            continue
        why = disagreement(outs["DuckDB"], got)
        if why is None:
            ok.append(name)
        else:
            notes.append(f"{name}: disagrees with DuckDB ({why})")
    return ok, notes


# --------------------------------------------------------------------------- timing


def rounds(tools, rounds_, few=(), few_rounds=1):
    """Interleaved whole runs: name -> (median seconds, peak RSS MiB over the runs, runs,
    median CPU seconds)."""
    names = list(tools)
    times = {k: [] for k in names}
    cpu = {k: [] for k in names}
    rss = {k: 0.0 for k in names}
    for r in range(rounds_):
        k = r % len(names)
        for name in names[k:] + names[:k]:
            if name in few and len(times[name]) >= few_rounds:
                continue
            cmd, stdin = tools[name]
            dt, mib, cs = run_usage(cmd, stdin)
            times[name].append(dt)
            cpu[name].append(cs)
            rss[name] = max(rss[name], mib)
            print(f"  round {r + 1}: {name:<24}{dt:8.2f} s {cs:6.2f} CPU s {mib:7.0f} MiB",
                  flush=True)
    return {k: (float(np.median(times[k])), rss[k], len(times[k]), float(np.median(cpu[k])))
            for k in names}


def ratio_rows(res, gb):
    """(tool, seconds, / DuckDB, / the faster of DuckDB and Polars, peak RSS, runs, CPU
    seconds, CPU seconds per GB of input)."""
    duck = res["DuckDB"][0]
    best = min(res[k][0] for k in ("DuckDB", "Polars") if k in res)
    return [(name, t, t / duck, t / best, mib, runs, cs, cs / gb)
            for name, (t, mib, runs, cs) in res.items()]


def print_table(title, rows):
    print(title)
    print(f"  {'tool':<24}{'seconds':>9}{'/DuckDB':>9}{'/best':>8}{'peak RSS':>11}{'runs':>6}"
          f"{'CPU s':>8}{'CPU s/GB':>10}")
    for name, t, vs_duck, vs_best, mib, runs, cs, cs_gb in rows:
        print(f"  {name:<24}{t:9.2f}{vs_duck:9.2f}{vs_best:8.2f}{mib:8.0f} MiB{runs:6d}"
              f"{cs:8.2f}{cs_gb:10.2f}")


def md_rows(rows):
    return [[name, f"{t:.2f}", f"{vs_duck:.2f}", f"{vs_best:.2f}", f"{mib:.0f}", runs,
             f"{cs:.2f}", f"{cs_gb:.2f}"]
            for name, t, vs_duck, vs_best, mib, runs, cs, cs_gb in rows]


# --------------------------------------------------------------------------- in memory


def frames(n, keys, seed=7):
    """The main file's rows as DataFrames keyed four ways; float columns shared."""
    import pandas as pd
    import pyarrow as pa

    parts = list(telemetry_chunks(n, keys, seed))
    idx = np.concatenate([p[0] for p in parts])
    vals = {c: np.concatenate([p[1 + j] for p in parts]) / 1000.0
            for j, c in enumerate(COLUMNS)}
    del parts
    names = station_names(keys)
    keyed = {
        "categorical": pd.Categorical.from_codes(idx, categories=names),
        "int64": idx.astype(np.int64),
        "object": np.array(names, dtype=object)[idx],
        "string[pyarrow]": pd.arrays.ArrowStringArray(pa.array(names).take(pa.array(idx))),
    }
    return {k: pd.DataFrame({"station": v, **vals}, copy=False) for k, v in keyed.items()}


def pandas_describe(df):
    # pandas' fast path: cython kernels on one groupby object (its key codes are computed
    # once); agg's name list cannot pass ddof=0, so var is its own call, std derives from it.
    import pandas as pd

    gb = df.groupby("station", sort=False, observed=True)
    out = gb.agg(["count", "sum", "mean", "min", "max"])
    var = gb.var(ddof=0)
    parts = {(c, "var"): var[c] for c in var.columns}
    parts.update({(c, "std"): np.sqrt(var[c]) for c in var.columns})
    return pd.concat([out, pd.DataFrame(parts)], axis=1)


def vornel_describe(df):
    import vornel

    return vornel.describe(df, by="station").to_pandas()


def memory_check(df, theirs):
    """Compares vornel's frame (a row per station and column) to pandas' result."""
    flat = vornel_describe(df).reset_index()
    if "column" not in flat.columns:
        return f"not compared (no 'column' in {list(flat.columns)})"
    key = "station" if "station" in flat.columns else flat.columns[0]
    got = {(str(r[key]), r["column"]): [r[s] for s in STATS] for r in flat.to_dict("records")}
    want, idx = {}, [str(k) for k in theirs.index]
    for c in COLUMNS:
        block = np.column_stack([theirs[(c, s)].to_numpy(dtype=float) for s in STATS])
        want.update({(k, c): list(row) for k, row in zip(idx, block)})
    why = disagreement(want, got)
    return "agrees with pandas" if why is None else f"DISAGREES with pandas: {why}"


def in_memory(n, keys, reps):
    import vornel

    have = hasattr(vornel, "describe")
    dfs = frames(n, keys)
    rows, notes = [], []
    for kind, df in dfs.items():
        peers = {"pandas": (lambda: None, lambda _, df=df: pandas_describe(df))}
        if have:
            peers["vornel"] = (lambda: None, lambda _, df=df: vornel_describe(df))
        t = nat.interleaved(peers, reps)
        pd_s = t["pandas"] / 1e9
        v_s = t["vornel"] / 1e9 if have else None
        ratio = pd_s / v_s if have else None
        if have:
            notes.append(f"{kind}: vornel {memory_check(df, pandas_describe(df))}")
        rows.append((kind, pd_s, v_s, ratio))
        print(f"  {kind:<16} pandas {pd_s:7.3f} s   vornel "
              + (f"{v_s:7.3f} s   pandas/vornel {ratio:6.2f} (target >= "
                 f"{MEM_TARGETS[kind]:g}: {nat.verdict(ratio >= MEM_TARGETS[kind])})"
                 if have else "-  (vornel.describe not in this build)"), flush=True)
    return rows, notes, have


# --------------------------------------------------------------------------- main


def version(pkg):
    try:
        return importlib.metadata.version(pkg)
    except importlib.metadata.PackageNotFoundError:
        return "missing"


def check_all(main_csv, small):
    """Correctness first, on small files of both key shapes: the tools that agree with
    DuckDB (a tool that fails or disagrees is left out of the timing), and notes."""
    notes = []
    ok = set(commands(main_csv))
    for k, p in small.items():
        # Small chunks for pandas here, so that its fold across chunks is checked too.
        agree, why = check(commands(p, chunk=7000), p)
        ok &= set(agree)
        notes += [f"check, {k:,} keys: {w}" for w in why]
    for w in notes:
        print("  " + w)
    print(f"check (10^5 rows; counts exact, the rest to {RTOL:g} relative, against DuckDB): "
          f"agree: {', '.join(sorted(ok))}")
    return ok, notes


def time_files(n, many, main_csv, many_csv, ok, n_rounds, dm_rounds):
    """Interleaved rounds of every agreeing tool on both files: ratio rows per file."""
    mib = lambda p: os.path.getsize(p) / 2**20  # noqa: E731
    results = {}
    for label, path, keys in ((f"{n:,} rows, 1,000 stations", main_csv, 1000),
                              (f"{n:,} rows, {many:,} keys", many_csv, many)):
        tools = {k: v for k, v in commands(path).items() if k in ok}
        if keys != 1000:
            tools.pop("datamash", None)  # main file only: it sorts the whole input first
        elif "vornel" in tools:
            tools["vornel --threads 1"] = (tools["vornel"][0] + ["--threads", "1"], None)
        warm(path)
        print(f"{label} ({mib(path):.0f} MiB), {n_rounds} rounds:", flush=True)
        res = rounds(tools, n_rounds, few={"datamash"}, few_rounds=dm_rounds)
        results[label] = ratio_rows(res, os.path.getsize(path) / 1e9)
        print_table(f"{label}: median whole-process seconds", results[label])
        print()
    return results


def time_big(big_csv, ok):
    """One run of each fast tool on the 4x file: (tool, seconds, peak RSS MiB)."""
    big_rows = []
    warm(big_csv)
    tools = {k: v for k, v in commands(big_csv).items() if k in ok
             and k not in ("pandas", "datamash", "native floor")}
    if "Polars" in tools:
        tools["Polars, streaming"] = (polars_streaming(big_csv), None)
    print(f"4x file ({os.path.getsize(big_csv) / 1e9:.2f} GB), one run each:", flush=True)
    for name, (cmd, stdin) in tools.items():
        try:
            dt, peak = run(cmd, stdin)
        except RuntimeError as e:
            print(f"  {name}: failed ({e})")
            continue
        big_rows.append((name, dt, peak))
        extra = ""
        if name == "vornel":
            extra = (f"  target <= {RSS_TARGET_MIB} MiB: "
                     f"{nat.verdict(peak <= RSS_TARGET_MIB)}")
        print(f"  {name:<20}{dt:8.2f} s {peak:8.0f} MiB{extra}", flush=True)
    print()
    return big_rows


def time_quantiles(path, n_rounds):
    """vornel -q against DuckDB's approx_quantile and Polars' exact quantile (the seven
    statistics and three quantiles of each column) on path: ratio rows."""
    import sketch  # its quantile commands; imported here, as it imports this module

    tools = {k: (v, None) for k, v in sketch.cli_commands(path).items()
             if k in ("vornel -q", "DuckDB approx_quantile", "Polars quantile")}
    warm(path)
    print(f"with quantiles ({', '.join(map(str, sketch.TABLE_QS))}), {n_rounds} rounds:",
          flush=True)
    res = rounds(tools, n_rounds)
    res["DuckDB"], res["Polars"] = res["DuckDB approx_quantile"], res["Polars quantile"]
    rows = [r for r in ratio_rows(res, os.path.getsize(path) / 1e9)
            if r[0] not in ("DuckDB", "Polars")]
    print_table("with quantiles: median whole-process seconds", rows)
    print()
    return rows


def make_gz(path):
    """path gzip-compressed (level 6), made once."""
    out = path + ".gz"
    if not os.path.exists(out):
        with open(out + ".tmp", "wb") as f:
            subprocess.run(["gzip", "-6", "-c", path], stdout=f, check=True)
        os.replace(out + ".tmp", out)
    return out


def time_gz(gz, ok, n_rounds):
    """vornel, DuckDB and Polars on the gzip-compressed main file: ratio rows."""
    tools = {k: v for k, v in commands(gz).items() if k in ok and k in
             ("vornel", "DuckDB", "Polars")}
    warm(gz)
    print(f"gzip-compressed ({os.path.getsize(gz) / 2**20:.0f} MiB), {n_rounds} rounds:",
          flush=True)
    rows = ratio_rows(rounds(tools, n_rounds), os.path.getsize(gz) / 1e9)
    print_table("gzip: median whole-process seconds", rows)
    print()
    return rows


PARSE = """
import sys, time
from concurrent.futures import ThreadPoolExecutor
import vornel
from vornel import _scan
from vornel.table.csvfile import BLOCK_BYTES, record_end

path, threads = sys.argv[1], int(sys.argv[2])
t0 = time.perf_counter()
vornel.describe(path, by="station", threads=threads)
whole = time.perf_counter() - t0
# The parse alone: the file in memory, cut into ranges as the reader cuts them, scanned by
# the native scanner on `threads` threads (as the reader runs it).
data = open(path, "rb").read()
ranges, at = [], data.index(b"\\n") + 1
while at < len(data):
    end = min(at + BLOCK_BYTES, len(data))
    end = record_end(data, at, end) if end < len(data) else end
    ranges.append(memoryview(data)[at:end])
    at = end
keymap = _scan.KeyMap(1)
scanner = _scan.Scanner(4, [1, 2, 3], [0], (b"",), (b"",), keymap)
best = float("inf")
for _ in range(3):
    t0 = time.perf_counter()
    with ThreadPoolExecutor(threads) as pool:
        for _ in pool.map(lambda r: scanner.scan(r[1], r[0], (False,) * 3), enumerate(ranges)):
            pass
    best = min(best, time.perf_counter() - t0)
print(whole, best)
"""


def parse_threads(path, reps):
    """At 1 and 2 threads, medians over reps processes (interleaved) of the read in a warm
    process (vornel.describe, start-up and output left out) and of the parse alone (the
    scanner over the file's ranges in memory, best of 3): {threads: (read, parse)}."""
    times = {1: [], 2: []}
    for _ in range(reps):
        for t in times:
            out = subprocess.run([sys.executable, "-c", PARSE, path, str(t)], check=True,
                                 capture_output=True, text=True).stdout
            times[t].append([float(x) for x in out.split()])
    res = {t: tuple(float(x) for x in np.median(v, axis=0)) for t, v in times.items()}
    read, parse = res[1][0] / res[2][0], res[1][1] / res[2][1]
    print(f"read: 1 thread {res[1][0]:.3f} s, 2 threads {res[2][0]:.3f} s ({read:.2f} times "
          f"as fast); parse alone: {res[1][1]:.3f} s, {res[2][1]:.3f} s, speed-up {parse:.2f} "
          f"(target >= {PARSE_TARGET}: {nat.verdict(parse >= PARSE_TARGET)})\n", flush=True)
    return res


def startup(reps):
    """Whole-process seconds (median of reps) of a bare interpreter, of importing NumPy, and
    of vornel's command line on a one-row file: what every vornel run pays before reading."""
    tiny = os.path.join(DATA, "tiny.csv")
    with open(tiny, "w") as f:
        f.write("station,x\na,1\n")
    py = sys.executable
    cmds = {"python -c pass": [py, "-c", "pass"],
            "python -c 'import numpy'": [py, "-c", "import numpy"],
            "vornel describe (one row)": [py, "-m", "vornel", "describe", tiny, "-g",
                                          "station", "-f", "csv"]}
    out = {k: float(np.median([run(c)[0] for _ in range(reps)])) for k, c in cmds.items()}
    print("start-up: " + ", ".join(f"{k} {v * 1000:.0f} ms" for k, v in out.items()) + "\n",
          flush=True)
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true",
                    help="n = 10^6 rows (10^5 keys for the many-key file), 1 round")
    ap.add_argument("--rounds", type=int, help="rounds per file (default 5; --quick 1)")
    ap.add_argument("--skip-4x", action="store_true", help="skip the peak RSS run on the 4x file")
    ap.add_argument("--skip-memory", action="store_true", help="skip the in-memory comparison")
    ap.add_argument("--no-docs", action="store_true", help="print only, write nothing")
    args = ap.parse_args()
    n = 10**6 if args.quick else 10**7
    many = n // 10
    n_rounds = args.rounds or (1 if args.quick else 5)
    dm_rounds = 1 if args.quick else 2
    reps = 1 if args.quick else 5
    if shutil.which("datamash") is None:
        raise SystemExit("GNU datamash is needed (it is in the development root)")
    dm_version = subprocess.run(["datamash", "--version"], capture_output=True,
                                text=True).stdout.splitlines()[0]
    versions = (f"DuckDB {version('duckdb')}, Polars {version('polars')}, pandas "
                f"{version('pandas')}, NumPy {version('numpy')}, pyarrow {version('pyarrow')}, "
                f"{dm_version}")
    cpus = getattr(os, "process_cpu_count", os.cpu_count)()
    floor = run(["true"])[1]
    if build_floor() is None:
        print("no g++: the native floor is left out")
    print(f"{versions}; {cpus} CPUs; peak RSS floor (the launcher's, as seen by `true`): "
          f"{floor:.0f} MiB")

    t0 = time.perf_counter()
    main_csv = make_csv(n, 1000)
    many_csv = make_csv(n, many)
    big_csv = None if args.skip_4x else make_repeated(main_csv, 4)
    small = {k: make_csv(10**5, k) for k in (1000, 10**4)}
    mib = lambda p: os.path.getsize(p) / 2**20  # noqa: E731
    print(f"data ready in {time.perf_counter() - t0:.1f} s: {os.path.relpath(main_csv, rep.REPO)} "
          f"({mib(main_csv):.0f} MiB), {many:,} keys {mib(many_csv):.0f} MiB"
          + (f", 4x {os.path.getsize(big_csv) / 1e9:.2f} GB" if big_csv else ""))

    ok, notes = check_all(main_csv, small)

    results = time_files(n, many, main_csv, many_csv, ok, n_rounds, dm_rounds)
    extra = {"quantiles": time_quantiles(main_csv, max(3, n_rounds - 2)),
             "gzip": time_gz(make_gz(main_csv), ok, max(3, n_rounds - 2)),
             "parse": parse_threads(main_csv, n_rounds), "startup": startup(10)}
    big_rows = time_big(big_csv, ok) if big_csv else []
    mem_rows, mem_notes, have = [], [], False
    if not args.skip_memory:
        print(f"in memory, {n:,} rows, 1,000 stations, median of {reps} (pandas "
              f"{version('pandas')}):", flush=True)
        mem_rows, mem_notes, have = in_memory(n, 1000, reps)
        for w in mem_notes:
            print("  " + w)
        print()

    if args.no_docs:
        return 0
    write_docs(n, n_rounds, dm_rounds, reps, versions, cpus, sorted(ok), notes, results,
               big_csv, big_rows, mem_rows, mem_notes, have,
               {p: mib(p) for p in (main_csv, many_csv)}, extra)
    return 0


def target_line(rows, many):
    """The whole-run targets against the faster of DuckDB and Polars, the native floor's
    figure beside them; at many keys, peak RSS against DuckDB's too."""
    by = {r[0]: r for r in rows}
    if "vornel" not in by:
        return ""
    v = by["vornel"]
    target, stretch = (MANY_TARGET, MANY_STRETCH) if many else (MAIN_TARGET, MAIN_STRETCH)
    out = (f"\n- target: vornel at most {target} times the faster of DuckDB and Polars: "
           f"{v[3]:.2f}, {nat.verdict(v[3] <= target)}; stretch {stretch}: "
           f"{nat.verdict(v[3] <= stretch)}")
    if "native floor" in by:
        out += f" (the native floor: {by['native floor'][3]:.2f})"
    out += "\n"
    if many and "DuckDB" in by:
        out += (f"- target: vornel's peak RSS at most DuckDB's: {v[4]:.0f} MiB against "
                f"{by['DuckDB'][4]:.0f}, {nat.verdict(v[4] <= by['DuckDB'][4])}\n")
    if "vornel --threads 1" in by:
        t1 = by["vornel --threads 1"]
        out += (f"- vornel on one thread takes {t1[1] / v[1]:.2f} times as long as on "
                f"{cpu_count()} (whole processes)\n")
    return out


def extra_docs(extra, head):
    """The sections after the two files: quantiles, gzip, threads, start-up."""
    body = ""
    q = extra.get("quantiles")
    if q:
        by = {r[0]: r for r in q}
        v = by["vornel -q"][1]
        ok = all(v < by[k][1] for k in ("DuckDB approx_quantile", "Polars quantile"))
        body += ("\nWith quantiles, the main file: `vornel describe ... -q 0.25,0.5,0.75` "
                 "against DuckDB's `approx_quantile(x, [0.25, 0.5, 0.75])` and Polars' exact "
                 "`quantile(q, interpolation='lower')` with the same seven statistics (see "
                 "bench/sketch.py for the accuracy of each):\n\n"
                 + rep.md_table(head, md_rows(q))
                 + f"\n- target: `vornel -q` faster than both: {nat.verdict(ok)}\n")
    g = extra.get("gzip")
    if g:
        by = {r[0]: r for r in g}
        body += ("\nThe main file gzip-compressed (level 6); vornel inflates with Python's "
                 "zlib module on one thread (0.96 s of this file alone), while ranges "
                 "scan:\n\n" + rep.md_table(head, md_rows(g)))
        if "vornel" in by:
            body += (f"\n- target: vornel at most the faster peer's time: {by['vornel'][3]:.2f}"
                     f" times it, {nat.verdict(by['vornel'][3] <= 1.0)}\n")
    p = extra.get("parse")
    if p:
        read, parse = p[1][0] / p[2][0], p[1][1] / p[2][1]
        body += (f"\nThreads, main file (medians of processes at 1 and 2 threads, "
                 f"interleaved): the parse alone (the native scanner over the file's ranges, "
                 f"already in memory, on a pool of T threads, as the reader runs it; best of "
                 f"3) takes {p[1][1]:.3f} s on 1 thread and {p[2][1]:.3f} s on 2; the whole "
                 f"read (`vornel.describe(FILE, by='station', threads=T)` in a process that "
                 f"has imported vornel: reading the file, the parse, the fold) {p[1][0]:.3f} s "
                 f"and {p[2][0]:.3f} s ({read:.2f} times as fast: on 2 CPUs the reading and "
                 f"the fold share them with the parse).\n\n"
                 f"- target: the parse on 2 threads at least {PARSE_TARGET} times as fast as "
                 f"on one: {parse:.2f}, {nat.verdict(parse >= PARSE_TARGET)}\n")
    st = extra.get("startup")
    if st:
        body += ("\nStart-up, part of every vornel run (whole processes, median of 10): "
                 + ", ".join(f"{k} {v * 1000:.0f} ms" for k, v in st.items()) + ".\n")
    return body


def write_docs(n, n_rounds, dm_rounds, reps, versions, cpus, ok, notes, results, big_csv,
               big_rows, mem_rows, mem_notes, have, sizes, extra):
    head = ["tool", "seconds", "/ DuckDB", "/ faster of DuckDB, Polars", "peak RSS (MiB)",
            "runs", "CPU s", "CPU s / GB"]
    body = (f"{versions}; {cpus} CPUs (DuckDB and Polars use them all). Telemetry CSVs "
            f"`station,temperature,humidity,pressure`, stations in random order, values as "
            f"three-decimal text. Whole processes from start to exit, output to /dev/null; "
            f"median of {n_rounds} interleaved rounds (datamash {dm_rounds}); peak RSS is the "
            f"largest ru_maxrss seen.\n\n"
            f"- vornel: `python -m vornel describe FILE -g station -f csv`\n"
            f"- DuckDB: `COPY (SELECT station, count, sum, avg, min, max, var_pop, stddev_pop "
            f"... FROM read_csv(FILE) GROUP BY station) TO '/dev/stdout'`\n"
            f"- Polars: `scan_csv(FILE).group_by('station').agg(...)` (var, std with ddof=0), "
            f"`collect()`, `write_csv`\n"
            f"- pandas: `read_csv(FILE, chunksize={CHUNK:,})`, per-chunk groupby count, sum, "
            f"`var(ddof=0)`, min, max, folded into a running total per station after each "
            f"chunk (bounded memory)\n"
            f"- datamash: `datamash -s -t, -H groupby 1 count 2 sum 2 mean 2 min 2 max 2 pvar 2 "
            f"pstdev 2 ...` (1,000-station file only)\n"
            f"- native floor: bench/csv_floor.cpp (g++ -O2), a plain C++ program: the file "
            f"mapped, parsed on {cpus} threads (memchr, std::from_chars, an "
            f"open-addressing key map), one fold per column in file order with the project's "
            f"update step, vornel's output; no dialect beyond these files\n\n"
            f"CPU s is user + system time; CPU s / GB per GB of the input file.\n\n"
            f"Check on 10^5-row files of both shapes, against DuckDB (counts exactly, the rest "
            f"to {RTOL:g} relative): agree: {', '.join(ok)}.\n")
    if notes:
        body += "\n" + "".join(f"- {w}\n" for w in notes)
    for i, ((label, rows), size) in enumerate(zip(results.items(), sizes.values())):
        body += f"\n{label} ({size:.0f} MiB):\n\n" + rep.md_table(head, md_rows(rows))
        body += target_line(rows, many=i == 1)
    body += extra_docs(extra, head)
    if big_rows:
        body += (f"\nPeak memory on the 1,000-station file four times over "
                 f"({os.path.getsize(big_csv) / 1e9:.2f} GB), one run each:\n\n"
                 + rep.md_table(["tool", "seconds", "peak RSS (MiB)"],
                                [[k, f"{t:.2f}", f"{m:.0f}"] for k, t, m in big_rows]))
        v = [m for k, _, m in big_rows if k == "vornel"]
        if v:
            body += (f"\n- target: vornel's peak RSS {v[0]:.0f} MiB, at most {RSS_TARGET_MIB}: "
                     f"{nat.verdict(v[0] <= RSS_TARGET_MIB)}\n")
    if mem_rows:
        body += (f"\nIn memory: a DataFrame of the same {n:,} rows (1,000 stations) keyed "
                 f"four ways; `vornel.describe(df, by='station').to_pandas()` against "
                 f"`groupby('station', sort=False, observed=True)` with `agg(['count', 'sum', "
                 f"'mean', 'min', 'max'])` and `var(ddof=0)` (std derived from it); median of "
                 f"{reps}, interleaved.\n\n")
        if have:
            body += rep.md_table(
                ["key type", "pandas (s)", "vornel (s)", "pandas / vornel", "target", ""],
                [[k, f"{p:.3f}", f"{v:.3f}", f"{r:.2f}", f">= {MEM_TARGETS[k]:g}",
                  nat.verdict(r >= MEM_TARGETS[k])] for k, p, v, r in mem_rows])
            body += "\n" + "".join(f"- {w}\n" for w in mem_notes)
        else:
            body += rep.md_table(["key type", "pandas (s)"],
                                 [[k, f"{p:.3f}"] for k, p, _, _ in mem_rows])
            body += "\n- vornel.describe is not in this build: pandas alone.\n"
    body += plot(results, mem_rows, have)
    rep.write_section("describe", "Whole runs: vornel describe against DuckDB, Polars, pandas "
                      "and datamash", body)


def plot(results, mem_rows, have):
    plt = rep.pyplot()
    if plt is None:
        return ""
    panels = len(results) + (1 if mem_rows else 0)
    fig, axes = plt.subplots(1, panels, figsize=(4.2 * panels, 3.4))
    for ax, (label, rows) in zip(axes, results.items()):
        names = [r[0] for r in rows]
        ax.barh(names, [r[1] for r in rows],
                color=["tab:blue" if k == "vornel" else "tab:gray" for k in names])
        ax.invert_yaxis()
        ax.set_xlabel("seconds, whole process")
        ax.set_title(label, fontsize="medium")
    if mem_rows:
        ax = axes[-1]
        kinds = [r[0] for r in mem_rows]
        y = np.arange(len(kinds))
        ax.barh(y - 0.2, [r[1] for r in mem_rows], 0.4, label="pandas", color="tab:gray")
        if have:
            ax.barh(y + 0.2, [r[2] for r in mem_rows], 0.4, label="vornel", color="tab:blue")
        ax.set_yticks(y, kinds)
        ax.invert_yaxis()
        ax.set_xlabel("seconds, in memory")
        ax.set_title("DataFrame groupby, by key type", fontsize="medium")
        ax.legend(fontsize="small", loc="best")
    return "\n" + rep.save_plot(fig, "describe")


if __name__ == "__main__":
    sys.exit(main())
