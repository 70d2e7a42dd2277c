// Typed views folded into records: the count, length and range checks around the detached
// loops, shared by the accumulators and the state companion. Called attached.
#pragma once

#include <Python.h>

#include <cstdint>

#include "errors.hpp"
#include "kernels.hpp"
#include "view.hpp"

namespace vornel {

// Folds views[j] into recs[j] for j < k (k <= kMaxInterleave), in one interleaved loop with
// the thread detached. A record whose count would pass the limit raises OverflowError before
// any record changes. Returns -1 with the exception set.
template <bool SkipNaN>
int fold_streams(const TypedView *views, Moments *recs, int k) noexcept {
    const char *data[kMaxInterleave];
    int64_t n[kMaxInterleave], stride[kMaxInterleave];
    for (int j = 0; j < k; ++j) {
        data[j] = views[j].data();
        n[j] = views[j].length();
        stride[j] = views[j].stride();
        if (!stream_fits<SkipNaN>(recs[j], data[j], n[j], stride[j])) return count_overflow();
    }
    PyThreadState *ts = PyEval_SaveThread();
    stream_fold_some<SkipNaN>(recs, data, n, stride, k);
    PyEval_RestoreThread(ts);
    return 0;
}

// Folds vals into aggs[ids] with the thread detached, after the length test. An id outside
// [0, n_groups) raises the range error and a full count OverflowError, both after the loop
// has re-attached; the elements before either stay folded in. Returns -1 with the exception.
template <class Id, bool SkipNaN>
int fold_grouped(const TypedView &ids, const TypedView &vals, Moments *aggs,
                 int64_t n_groups) noexcept {
    const int64_t n = vals.length();
    if (ids.length() != n)
        return raise_with(PyExc_ValueError, "group_ids and values must have the same length");
    const char *id_data = ids.data(), *val_data = vals.data();
    const int64_t id_stride = ids.stride(), val_stride = vals.stride();
    int64_t stop_gid = 0;
    PyThreadState *ts = PyEval_SaveThread();
    const int64_t stop = grouped_fold<Id, SkipNaN>(aggs, n_groups, id_data, id_stride, val_data,
                                                   val_stride, n, stop_gid);
    PyEval_RestoreThread(ts);
    if (stop < 0) return 0;
    return grouped_detail::in_range(stop_gid, n_groups) ? count_overflow()
                                                        : range_error(stop_gid, n_groups);
}

}  // namespace vornel
