"""Native peers for the benchmarks: small C++ loops built at run time and loaded with ctypes.

Each loop uses the same record layout and the same operation order as vornel, so its
results can be compared bit for bit. Built libraries are cached under build/bench/,
named by a hash of source, flags and compiler, so edits rebuild and reruns do not.
"""

import ctypes
import gc
import hashlib
import math
import os
import struct
import subprocess
import sys
import tempfile
import time

import numpy as np

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CACHE_DIR = os.path.join(REPO, "build", "bench")
BENCH_SITE = os.path.join(REPO, "build", "bench-site")

# The record as vornel lays it out: count, then five doubles (48 bytes).
REC = np.dtype([("count", "<i8"), ("sum", "<f8"), ("mean", "<f8"), ("m2", "<f8"),
                ("min", "<f8"), ("max", "<f8")])
DBL_MAX = sys.float_info.max

# Same flags as the extension: no FMA contraction, no fast-math.
BASE_FLAGS = ["-O2", "-ffp-contract=off", "-fno-fast-math", "-std=c++17", "-shared", "-fPIC"]
NO_SLP = "-fno-tree-slp-vectorize"

_RECORD = r"""
#include <cstdint>
#include <cstring>

struct Rec {
    int64_t count;
    double sum, mean, m2, min, max;
};

static inline void update(Rec &r, double x) {
    r.count += 1;
    r.sum = r.sum + x;
    if (r.min > x) r.min = x;
    if (x > r.max) r.max = x;
    const double delta = x - r.mean;
    r.mean = r.mean + delta / static_cast<double>(r.count);
    r.m2 = r.m2 + (x - r.mean) * delta;
}
"""

# The floor: one record kept in locals, one strided walk, nothing else.
STREAM_SRC = _RECORD + r"""
extern "C" void stream_floor(const double *data, int64_t n, int64_t stride, Rec *out) {
    Rec r = *out;
    const char *p = reinterpret_cast<const char *>(data);
    for (int64_t i = 0; i < n; ++i, p += stride) {
        double x;
        std::memcpy(&x, p, sizeof x);
        update(r, x);
    }
    *out = r;
}
"""

# The obvious grouped loop: bounds test, then the update on the record in memory.
GROUPED_SRC = _RECORD + r"""
template <class Id>
static int64_t grouped(const Id *ids, const double *vals, int64_t n, Rec *aggs, int64_t g) {
    for (int64_t i = 0; i < n; ++i) {
        const int64_t gid = ids[i];
        if (gid < 0 || gid >= g) return i;
        update(aggs[gid], vals[i]);
    }
    return -1;
}

extern "C" int64_t naive_grouped_i64(const int64_t *ids, const double *vals, int64_t n,
                                     Rec *aggs, int64_t g) {
    return grouped(ids, vals, n, aggs, g);
}

extern "C" int64_t naive_grouped_i32(const int32_t *ids, const double *vals, int64_t n,
                                     Rec *aggs, int64_t g) {
    return grouped(ids, vals, n, aggs, g);
}

// Pairwise combination, every right-hand side read before a is written.
extern "C" void naive_merge(Rec *a, const Rec *b, int64_t g) {
    for (int64_t i = 0; i < g; ++i) {
        Rec &x = a[i];
        const Rec &y = b[i];
        if (y.count == 0) continue;
        if (x.count == 0) { x = y; continue; }
        const int64_t n = x.count + y.count;
        const double N = static_cast<double>(n), A = static_cast<double>(x.count),
                     B = static_cast<double>(y.count);
        const double delta = y.mean - x.mean;
        const double mean = (B * y.mean + A * x.mean) / N;
        const double m2 = (((delta * delta) * A) * B) / N + (x.m2 + y.m2);
        const double sum = x.sum + y.sum;
        const double mn = (x.min > y.min) ? y.min : x.min;
        const double mx = (y.max > x.max) ? y.max : x.max;
        x.count = n; x.mean = mean; x.m2 = m2; x.sum = sum; x.min = mn; x.max = mx;
    }
}
"""


def _compiler_id():
    try:
        return subprocess.run(["g++", "--version"], capture_output=True, text=True,
                              check=True).stdout.splitlines()[0]
    except (OSError, subprocess.CalledProcessError) as e:
        raise SystemExit(f"g++ is needed to build the native peers: {e}")


def build(name, source, extra_flags=()):
    """Compiles source into build/bench/<name>-<hash>.so (once) and loads it."""
    flags = BASE_FLAGS + list(extra_flags)
    key = hashlib.sha256("\0".join([source, " ".join(flags), _compiler_id()]).encode())
    path = os.path.join(CACHE_DIR, f"{name}-{key.hexdigest()[:16]}.so")
    if not os.path.exists(path):
        os.makedirs(CACHE_DIR, exist_ok=True)
        fd, tmp_src = tempfile.mkstemp(suffix=".cpp", dir=CACHE_DIR)
        with os.fdopen(fd, "w") as f:
            f.write(source)
        tmp_so = tmp_src[:-4] + ".so"
        try:
            subprocess.run(["g++", *flags, "-o", tmp_so, tmp_src], check=True)
            os.replace(tmp_so, path)  # atomic: a concurrent run never loads half a file
        finally:
            for p in (tmp_src, tmp_so):
                if os.path.exists(p):
                    os.remove(p)
    return ctypes.CDLL(path)


_P, _I64 = ctypes.c_void_p, ctypes.c_int64


def load_stream_floors():
    """The floor loop built with and without the SLP vectoriser: {label: function}."""
    out = {}
    for label, extra in (("slp", []), ("noslp", [NO_SLP])):
        fn = build(f"stream_floor_{label}", STREAM_SRC, extra).stream_floor
        fn.argtypes, fn.restype = [_P, _I64, _I64, _P], None
        out[label] = fn
    return out


def load_grouped():
    lib = build("naive_grouped", GROUPED_SRC, [NO_SLP])
    for name in ("naive_grouped_i64", "naive_grouped_i32"):
        getattr(lib, name).argtypes = [_P, _P, _I64, _P, _I64]
        getattr(lib, name).restype = _I64
    lib.naive_merge.argtypes, lib.naive_merge.restype = [_P, _P, _I64], None
    return lib


def fresh_records(n=1):
    r = np.zeros(n, dtype=REC)
    r["min"] = DBL_MAX
    r["max"] = -DBL_MAX
    return r


def run_floor(fn, view, rec=None):
    """Folds a 1-D float64 view (any stride) into rec, a one-element REC array."""
    if rec is None:
        rec = fresh_records(1)
    fn(view.ctypes.data, view.shape[0], view.strides[0], rec.ctypes.data)
    return rec


def finalised_var(count, m2):
    var = m2 / count
    return 0.0 if 0.0 > var else var


def bits(x):
    return struct.pack("<d", x)


def same_as_result(rec, res):
    """True when a one-record REC array matches a vornel result dict bit for bit."""
    r = rec[0]
    if int(r["count"]) != res["count"]:
        return False
    if r["count"] == 0:
        return bits(float(r["sum"])) == bits(res["sum"])
    var = finalised_var(float(r["count"]), float(r["m2"]))
    pairs = [(r["sum"], res["sum"]), (r["mean"], res["mean"]), (r["min"], res["min"]),
             (r["max"], res["max"]), (var, res["var"]), (math.sqrt(var), res["std"])]
    return all(bits(float(a)) == bits(b) for a, b in pairs)


def mismatched_groups(recs, cols):
    """Group ids where REC array recs and a result_arrays column dict differ in any bit."""
    counts = np.asarray(cols["count"], dtype=np.int64)
    bad = counts != recs["count"]
    full = recs["count"] > 0
    c = recs["count"][full].astype(np.float64)
    with np.errstate(invalid="ignore", divide="ignore"):
        var = recs["m2"][full] / c
    var = np.where(var < 0.0, 0.0, var)
    want = {"sum": recs["sum"][full], "mean": recs["mean"][full], "min": recs["min"][full],
            "max": recs["max"][full], "var": var, "std": np.sqrt(var)}
    for key, expect in want.items():
        got = np.asarray(cols[key], dtype=np.float64)
        diff = np.zeros(len(recs), dtype=bool)
        diff[full] = got[full].view(np.int64) != expect.view(np.int64)
        # Empty groups report NaN (sum 0.0) in the column dict.
        if key == "sum":
            diff[~full] = got[~full] != 0.0
        else:
            diff[~full] = ~np.isnan(got[~full])
        bad |= diff
    return np.flatnonzero(bad)


def import_numba():
    """numba if importable (build/bench-site is searched last), else None and the reason."""
    if os.path.isdir(BENCH_SITE) and BENCH_SITE not in sys.path:
        sys.path.append(BENCH_SITE)
    try:
        import numba
    except Exception as e:  # a broken install is a skipped peer, not a failed run
        return None, f"{type(e).__name__}: {e}"
    return numba, None


def interleaved(peers, repeats):
    """Median wall time in ns of each peer, running every peer once per round.

    peers maps a name to (setup, run): setup() is untimed and returns run's argument.
    Rounds interleave the peers so that drift and noise from other load hit all alike.
    The cyclic collector is off during each timed call, as in timeit.
    """
    times = {name: [] for name in peers}
    was_enabled = gc.isenabled()
    try:
        for _ in range(repeats):
            for name, (setup, run) in peers.items():
                arg = setup()
                gc.collect()
                gc.disable()  # as timeit does: a collection pass is not the peer's cost
                t0 = time.perf_counter_ns()
                out = run(arg)
                t1 = time.perf_counter_ns()
                if was_enabled:
                    gc.enable()
                del out  # freeing a large result is not part of making it
                times[name].append(t1 - t0)
    finally:
        if was_enabled:
            gc.enable()
    return {name: float(np.median(t)) for name, t in times.items()}


def verdict(ok):
    return "met" if ok else "MISSED"


def mark(ok):
    return "\u2713" if ok else "\u2717"
