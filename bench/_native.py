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

# The record and its update step come from the project's own header, so a floor can never
# drift from the arithmetic it stands beside.
_RECORD = r"""
#include <cstdint>
#include <cstring>

#include "moments.hpp"

using Rec = vornel::Moments;

static inline void update(Rec &r, double x) { vornel::moments_update(r, x); }
"""
MOMENTS_DEPS = [os.path.join(REPO, "src", "vornel", "moments.hpp")]
MOMENTS_FLAGS = ["-std=c++20", f"-I{os.path.join(REPO, 'src', 'vornel')}"]

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

// Pairwise combination with the project's merge step, and no count checks.
extern "C" void naive_merge(Rec *a, const Rec *b, int64_t g) {
    for (int64_t i = 0; i < g; ++i) vornel::moments_merge(a[i], b[i]);
}
"""


# The quantile sketch's floors. The index comes from the project's own sketchmap.hpp (and k
# from its sketchmap.cpp), so a floor can never drift from the mapping it stands beside.
SKETCH_DIR = os.path.join(REPO, "src", "vornel")
SKETCH_DEPS = [os.path.join(SKETCH_DIR, f) for f in ("sketchmap.hpp", "sketchmap.cpp")]

SKETCH_SRC = r"""
#include <cstdint>

#include "sketchmap.hpp"

using vornel::bits_of;
using vornel::bucket_index;

// Normal doubles only: zeros, subnormals, infinities and NaN have no index.
static inline bool indexed(uint64_t b) {
    return ((b >> 52) & 0x7FF) - 1 < static_cast<uint64_t>(vornel::kExponents);
}

extern "C" int32_t sketch_k(double alpha) { return vornel::k_for_accuracy(alpha); }

// Index and count: one preallocated array per sign covering every index, nothing else.
// Returns the values left out (not normal).
extern "C" int64_t sketch_floor(const double *x, int64_t n, int32_t k, uint64_t *pos,
                                uint64_t *neg) {
    uint64_t *counts[2] = {pos, neg};
    const double kd = k;
    int64_t apart = 0;
    for (int64_t t = 0; t < n; ++t) {
        const uint64_t b = bits_of(x[t]);
        if (!indexed(b)) [[unlikely]] {
            ++apart;
            continue;
        }
        ++counts[b >> 63][bucket_index(b, kd, k)];
    }
    return apart;
}

// The same, keeping the extremes as the sketch must (ext: min, max, in and out).
extern "C" int64_t sketch_floor_ext(const double *x, int64_t n, int32_t k, uint64_t *pos,
                                    uint64_t *neg, double *ext) {
    uint64_t *counts[2] = {pos, neg};
    const double kd = k;
    double mn = ext[0], mx = ext[1];
    int64_t apart = 0;
    for (int64_t t = 0; t < n; ++t) {
        const double v = x[t];
        const uint64_t b = bits_of(v);
        if (!indexed(b)) [[unlikely]] {
            ++apart;
            continue;
        }
        ++counts[b >> 63][bucket_index(b, kd, k)];
        mn = v < mn ? v : mn;
        mx = v > mx ? v : mx;
    }
    ext[0] = mn;
    ext[1] = mx;
    return apart;
}

// The span [lo, hi] of the indices of each sign's values (lo > hi when none), to size
// per-group arrays that cover every value without a test.
extern "C" void sketch_span(const double *x, int64_t n, int32_t k, int32_t *lo, int32_t *hi) {
    const double kd = k;
    lo[0] = lo[1] = INT32_MAX;
    hi[0] = hi[1] = -1;
    for (int64_t t = 0; t < n; ++t) {
        const uint64_t b = bits_of(x[t]);
        if (!indexed(b)) continue;
        const int s = static_cast<int>(b >> 63);
        const int32_t i = bucket_index(b, kd, k);
        if (i < lo[s]) lo[s] = i;
        if (i > hi[s]) hi[s] = i;
    }
}

struct Head {
    int64_t count;
    double min, max;
};

// The obvious grouped loop: bounds test on the id, index, then one count in the group's
// dense arrays, laid out group after group as [positive w0 | negative w1] from lo[s].
// With Heads, also the group's count and extremes. Returns the position of the first id
// out of range, or -1.
template <bool Heads>
static int64_t grouped(const int32_t *ids, const double *x, int64_t n, int32_t k, int64_t g,
                       uint64_t *counts, const int32_t *lo, const int64_t *w, Head *heads) {
    const double kd = k;
    const int64_t stride = w[0] + w[1];
    const int64_t base[2] = {-int64_t{lo[0]}, w[0] - int64_t{lo[1]}};
    for (int64_t t = 0; t < n; ++t) {
        const int64_t gid = ids[t];
        if (gid < 0 || gid >= g) return t;
        const double v = x[t];
        const uint64_t b = bits_of(v);
        if (!indexed(b)) [[unlikely]]
            continue;
        const int s = static_cast<int>(b >> 63);
        ++counts[gid * stride + base[s] + bucket_index(b, kd, k)];
        if constexpr (Heads) {
            Head &h = heads[gid];
            ++h.count;
            if (v < h.min) h.min = v;
            if (v > h.max) h.max = v;
        }
    }
    return -1;
}

// The same with the loads of many groups overlapped: each run of 64 values has its slots
// found and prefetched before any is counted (values not normal are left out).
template <bool Heads>
static int64_t grouped_runs(const int32_t *ids, const double *x, int64_t n, int32_t k,
                            int64_t g, uint64_t *counts, const int32_t *lo, const int64_t *w,
                            Head *heads) {
    constexpr int64_t kRun = 64;
    const double kd = k;
    const int64_t stride = w[0] + w[1];
    const int64_t base[2] = {-int64_t{lo[0]}, w[0] - int64_t{lo[1]}};
    uint64_t *slot[kRun];
    for (int64_t t = 0; t < n; t += kRun) {
        const int64_t run = n - t < kRun ? n - t : kRun;
        for (int64_t j = 0; j < run; ++j) {
            const int64_t gid = ids[t + j];
            if (gid < 0 || gid >= g) return t + j;
            const uint64_t b = bits_of(x[t + j]);
            slot[j] = indexed(b) ? counts + gid * stride + base[b >> 63] + bucket_index(b, kd, k)
                                 : nullptr;
            if (slot[j]) __builtin_prefetch(slot[j], 1);
        }
        for (int64_t j = 0; j < run; ++j) {
            if (!slot[j]) [[unlikely]]
                continue;
            ++*slot[j];
            if constexpr (Heads) {
                const double v = x[t + j];
                Head &h = heads[ids[t + j]];
                ++h.count;
                if (v < h.min) h.min = v;
                if (v > h.max) h.max = v;
            }
        }
    }
    return -1;
}

extern "C" int64_t grouped_sketch_runs(const int32_t *ids, const double *x, int64_t n,
                                       int32_t k, int64_t g, uint64_t *counts,
                                       const int32_t *lo, const int64_t *w) {
    return grouped_runs<false>(ids, x, n, k, g, counts, lo, w, nullptr);
}

extern "C" int64_t grouped_sketch_runs_heads(const int32_t *ids, const double *x, int64_t n,
                                             int32_t k, int64_t g, uint64_t *counts,
                                             const int32_t *lo, const int64_t *w,
                                             Head *heads) {
    return grouped_runs<true>(ids, x, n, k, g, counts, lo, w, heads);
}

extern "C" int64_t grouped_sketch_floor(const int32_t *ids, const double *x, int64_t n,
                                        int32_t k, int64_t g, uint64_t *counts,
                                        const int32_t *lo, const int64_t *w) {
    return grouped<false>(ids, x, n, k, g, counts, lo, w, nullptr);
}

extern "C" int64_t grouped_sketch_floor_heads(const int32_t *ids, const double *x, int64_t n,
                                              int32_t k, int64_t g, uint64_t *counts,
                                              const int32_t *lo, const int64_t *w,
                                              Head *heads) {
    return grouped<true>(ids, x, n, k, g, counts, lo, w, heads);
}
"""


def _compiler_id():
    try:
        return subprocess.run(["g++", "--version"], capture_output=True, text=True,
                              check=True).stdout.splitlines()[0]
    except (OSError, subprocess.CalledProcessError) as e:
        raise SystemExit(f"g++ is needed to build the native peers: {e}")


def build(name, source, extra_flags=(), deps=()):
    """Compiles source into build/bench/<name>-<hash>.so (once) and loads it.

    deps: files the build reads besides source (project headers); their text joins the hash,
    so an edit to them rebuilds too."""
    flags = BASE_FLAGS + list(extra_flags)
    parts = [source, " ".join(flags), _compiler_id()]
    for dep in deps:
        with open(dep) as f:
            parts.append(f.read())
    key = hashlib.sha256("\0".join(parts).encode())
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
        fn = build(f"stream_floor_{label}", STREAM_SRC, [*MOMENTS_FLAGS, *extra],
                   deps=MOMENTS_DEPS).stream_floor
        fn.argtypes, fn.restype = [_P, _I64, _I64, _P], None
        out[label] = fn
    return out


def load_grouped():
    lib = build("naive_grouped", GROUPED_SRC, [*MOMENTS_FLAGS, NO_SLP], deps=MOMENTS_DEPS)
    for name in ("naive_grouped_i64", "naive_grouped_i32"):
        getattr(lib, name).argtypes = [_P, _P, _I64, _P, _I64]
        getattr(lib, name).restype = _I64
    lib.naive_merge.argtypes, lib.naive_merge.restype = [_P, _P, _I64], None
    return lib


def load_sketch_floors():
    """The sketch floors, built with the extension's flags against its sketchmap files."""
    flags = [NO_SLP, "-std=c++20", f"-I{SKETCH_DIR}", SKETCH_DEPS[1]]
    lib = build("sketch_floor", SKETCH_SRC, flags, deps=SKETCH_DEPS)
    lib.sketch_k.argtypes, lib.sketch_k.restype = [ctypes.c_double], ctypes.c_int32
    lib.sketch_floor.argtypes = [_P, _I64, ctypes.c_int32, _P, _P]
    lib.sketch_floor_ext.argtypes = [_P, _I64, ctypes.c_int32, _P, _P, _P]
    lib.sketch_span.argtypes = [_P, _I64, ctypes.c_int32, _P, _P]
    lib.sketch_span.restype = None
    lib.grouped_sketch_floor.argtypes = [_P, _P, _I64, ctypes.c_int32, _I64, _P, _P, _P]
    lib.grouped_sketch_runs.argtypes = lib.grouped_sketch_floor.argtypes
    lib.grouped_sketch_floor_heads.argtypes = [_P, _P, _I64, ctypes.c_int32, _I64, _P, _P,
                                               _P, _P]
    lib.grouped_sketch_runs_heads.argtypes = lib.grouped_sketch_floor_heads.argtypes
    for name in ("sketch_floor", "sketch_floor_ext", "grouped_sketch_floor",
                 "grouped_sketch_floor_heads", "grouped_sketch_runs",
                 "grouped_sketch_runs_heads"):
        getattr(lib, name).restype = _I64
    return lib


# A sketch floor group's head: count and extremes.
SKETCH_HEAD = np.dtype([("count", "<i8"), ("min", "<f8"), ("max", "<f8")])


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
