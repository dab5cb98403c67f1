// The results are the same bit for bit on every route, level and thread
// count, and the sparse route's bounds hold, only if every operation is
// rounded once to its type as written: no fast-math, no wider intermediates.
// Included by the headers whose arithmetic relies on that (the field's and
// the polygoniser's).
// NOTE: the build sets the flags (cmake/Sorvel2Defaults.cmake); this stops a
// build that overrides them.
#pragma once

#include <cfloat>

#if defined(__FAST_MATH__)
#error "sorvel2's field and polygoniser need IEEE arithmetic: build without -ffast-math"
#endif
#if !defined(FLT_EVAL_METHOD) || FLT_EVAL_METHOD != 0
#error "sorvel2's field and polygoniser need float and double evaluated in their own precision (FLT_EVAL_METHOD 0)"
#endif
