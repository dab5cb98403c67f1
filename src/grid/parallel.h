// Worker threads for the field and the polygoniser: an internal detail of
// the engine. The workers are made once (on the first parallel call after
// the thread count is set) and kept; a frame creates no thread and
// allocates nothing. Work is split into parts by the caller, which runs
// part 0 itself and returns when every part is done, so whatever a part
// writes is visible to the caller afterwards.
#pragma once

#include <cstdint>

// NOTE: mingw-w64 with the win32 thread model has no std::thread (the
// Windows build uses the posix model, which has); such a build runs
// everything on the calling thread.
// Likewise a WebAssembly build without shared memory (the browser build:
// a page needs no cross-origin isolation that way).
#if (defined(__MINGW32__) && !defined(_GLIBCXX_HAS_GTHREADS)) || (defined(__EMSCRIPTEN__) && !defined(__EMSCRIPTEN_PTHREADS__))
#define SORVEL2_THREADS 0
#else
#define SORVEL2_THREADS 1
#endif

inline constexpr int kMaxThreads = 8;

// Sets the number of threads that share the work, the caller included:
// 1 runs everything on the calling thread; 0 (or less) means the default,
// the hardware threads capped at kMaxThreads. Not to be called while a
// parallel call is running.
void SetThreadCount(int Count);

// The number of threads in use, 1 to kMaxThreads (always 1 in a build
// without thread support). Fewer than set when the system would not start
// as many: the work then goes on with those it did.
int ThreadCount();

// The least work (in samples) that makes a part of its own: below twice
// this a job runs in one part on the calling thread. Tests set it to 1 to
// split even tiny grids.
void SetParallelGrain(std::int64_t Samples);
std::int64_t ParallelGrain();

// How many parts a job of Work samples is split into.
int PartsFor(std::int64_t Work);

// Runs Task(Context, Part) for Part = 0 .. Parts-1, part 0 on the calling
// thread, and waits for all of them. Parts go to whichever thread comes
// first, so there may be more parts than threads (smaller parts balance
// better); the caller itself runs those no worker has taken by the time it
// is done with its own.
using TPartTask = void (*)(void* Context, int Part);
void RunParts(int Parts, TPartTask Task, void* Context);

template <class F>
void RunParts(int Parts, F& Body) {
    RunParts(Parts, [](void* c, int part) { (*static_cast<F*>(c))(part); }, &Body);
}

// Offers Task(Context, Part) for Part = 0 .. Parts-1 to the workers (Parts
// below ThreadCount()) and returns at once, so that the caller can work
// alongside; WaitParts() runs any part still untaken on the caller and
// returns when every part is done. Context must live until then.
void StartParts(int Parts, TPartTask Task, void* Context);
void WaitParts();

template <class F>
void StartParts(int Parts, F& Body) {
    StartParts(Parts, [](void* c, int part) { (*static_cast<F*>(c))(part); }, &Body);
}

// One round of a wait loop for a thread that waits on another (Spins counts
// the rounds, from 0): a short pause at first, then giving up the processor.
void Backoff(int& Spins);

// The half-open slice [First, Last) of 0..Count-1 that part Part of Parts
// takes: contiguous, in order, sizes differing by at most one.
inline void PartRange(std::int64_t Count, int Part, int Parts, std::int64_t& First, std::int64_t& Last) {
    First = Count * Part / Parts;
    Last = Count * (Part + 1) / Parts;
}
