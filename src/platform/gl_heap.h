// Keeping the memory a software OpenGL renderer frees inside the process.
//
// Mesa's software renderer allocates its per-frame working memory (the bins
// of the scene being rasterised, blocks of up to half a megabyte) on the
// heap of the thread that draws, and frees it all when the next frame
// starts. With glibc's defaults a freed top of the heap over 128 KiB goes
// back to the system at once, and blocks of 128 KiB or more are mapped and
// unmapped one by one, so every frame faults its memory in again: some
// 7,000 to 10,000 minor page faults a frame at grid 128 with 50 balls, the
// greater part of the frame. Kept in the heap, a frame reuses the memory of
// the one before; the process then holds its largest frame's memory rather
// than its current one's.
//
// Called by each place that makes a GL context (the SDL backend, the
// off-screen context), before the context exists; only the first call does
// anything. Elsewhere than glibc it does nothing.
#pragma once

#ifdef __GLIBC__
#include <malloc.h>
#endif

inline void KeepRendererMemory() {
#ifdef __GLIBC__
    static const bool kept = [] {
        mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);  // the largest glibc accepts on 64 bits
        mallopt(M_TRIM_THRESHOLD, 1024 * 1024 * 1024);
        return true;
    }();
    (void)kept;
#endif
}
