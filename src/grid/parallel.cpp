#include "grid/parallel.h"

#include <algorithm>
#include <atomic>
#include <chrono>

#if SORVEL2_THREADS
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#endif

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define SORVEL2_PAUSE() _mm_pause()
#else
#define SORVEL2_PAUSE() ((void)0)
#endif

namespace {

std::atomic<std::int64_t> gGrain{32 * 1024};

#if SORVEL2_THREADS

int DefaultThreadCount() {
    const unsigned hw = std::thread::hardware_concurrency();
    return std::clamp(static_cast<int>(hw), 1, kMaxThreads);
}

// How long an idle worker stays awake for the next job before it sleeps:
// long enough to bridge the gap between the parallel steps of one frame.
constexpr auto kStayAwake = std::chrono::microseconds(200);

class TWorkers {
public:
    ~TWorkers() { Stop(); }

    int Count() {
        if (Count_ == 0) Count_ = DefaultThreadCount();
        return Count_;
    }

    void SetCount(int n) {
        n = n <= 0 ? DefaultThreadCount() : std::min(n, kMaxThreads);
        if (n == Count_) return;
        Stop();
        Count_ = n;
    }

    void Run(int Parts, TPartTask Task, void* Context) {
        if (Parts <= 1) {
            Task(Context, 0);
            return;
        }
        Hand(Parts, Task, Context, 1);
        Task(Context, 0);
        Wait();
    }

    // Parts 0 .. Parts-1 on the workers (Parts < Count()).
    void Start(int Parts, TPartTask Task, void* Context) { Hand(Parts, Task, Context, 0); }

    // Runs the parts no worker has claimed yet on the calling thread (a
    // worker that wakes late finds nothing left and touches nothing), then
    // waits for those the workers are running.
    void Wait() {
        int part;
        while (Claim(Tag_, Parts_, part)) {
            Task_(Context_, part);
            Done_.fetch_add(1, std::memory_order_release);
        }
        for (int spins = 0; Done_.load(std::memory_order_acquire) != Parts_ - First_;) Backoff(spins);
    }

private:
    // Offers parts First .. Parts-1 to the workers, first come first served.
    void Hand(int Parts, TPartTask Task, void* Context, int First) {
        if (Started_ != Count_) Start();
        {
            std::lock_guard<std::mutex> lock(Mutex_);
            Task_ = Task;
            Context_ = Context;
            Parts_ = Parts;
            First_ = First;
            Done_.store(0, std::memory_order_relaxed);
            Tag_ = static_cast<std::uint32_t>(Generation_.load(std::memory_order_relaxed) + 1);
            Next_.store(static_cast<std::uint64_t>(Tag_) << 32 | static_cast<std::uint32_t>(First),
                        std::memory_order_relaxed);
            Generation_.fetch_add(1, std::memory_order_release);
        }
        Wake_.notify_all();
    }

    // Takes the next part of the job tagged Tag, if that job is still the
    // current one and has a part left.
    bool Claim(std::uint32_t Tag, int Parts, int& Part) {
        std::uint64_t next = Next_.load(std::memory_order_acquire);
        for (;;) {
            if (static_cast<std::uint32_t>(next >> 32) != Tag) return false;
            const int part = static_cast<int>(next & 0xFFFFFFFFu);
            if (part >= Parts) return false;
            if (Next_.compare_exchange_weak(next, next + 1, std::memory_order_acq_rel)) {
                Part = part;
                return true;
            }
        }
    }

    void Start() {
        Stop();
        Stopping_ = false;
        // A new thread waits for the generation after this one, even if the
        // first job is handed out before it gets to look.
        const std::uint64_t now = Generation_.load(std::memory_order_acquire);
        int w = 1;
        try {
            for (; w < Count_; ++w) Threads_[w] = std::thread(&TWorkers::Loop, this, now);
        } catch (const std::system_error&) {
            // NOTE: no thread can be had (a process limit, or a stack limit
            // so large that a thread's default stack does not fit): the
            // work goes on with those that started, the caller at least,
            // and ThreadCount() says so. Asking again every frame would only
            // fail again.
            Count_ = w;
        }
        Started_ = w;
    }

    void Stop() {
        if (Started_ == 0) return;
        {
            std::lock_guard<std::mutex> lock(Mutex_);
            Stopping_ = true;
            Generation_.fetch_add(1, std::memory_order_release);
        }
        Wake_.notify_all();
        for (int w = 1; w < Started_; ++w) Threads_[w].join();
        Started_ = 0;
    }

    void Loop(std::uint64_t seen) {
        for (;;) {
            const auto until = std::chrono::steady_clock::now() + kStayAwake;
            for (int spins = 0; Generation_.load(std::memory_order_acquire) == seen;) {
                Backoff(spins);
                if ((spins & 15) == 0 && std::chrono::steady_clock::now() > until) break;
            }
            std::unique_lock<std::mutex> lock(Mutex_);
            Wake_.wait(lock, [&] { return Generation_.load(std::memory_order_acquire) != seen; });
            seen = Generation_.load(std::memory_order_acquire);
            if (Stopping_) return;
            const TPartTask task = Task_;
            void* const context = Context_;
            const int parts = Parts_;
            const std::uint32_t tag = Tag_;
            lock.unlock();
            int part;
            while (Claim(tag, parts, part)) {
                task(context, part);
                Done_.fetch_add(1, std::memory_order_release);
            }
        }
    }

    int Count_ = 0;    // threads wanted, the caller included
    int Started_ = 0;  // threads running, the caller included (0: none)
    std::thread Threads_[kMaxThreads];
    std::mutex Mutex_;
    std::condition_variable Wake_;
    std::atomic<std::uint64_t> Generation_{0};  // bumped for every job and to stop
    std::atomic<std::uint64_t> Next_{0};        // tag of the job << 32 | next part to claim
    std::atomic<int> Done_{0};                  // parts of the job finished
    bool Stopping_ = false;
    // The job, written under Mutex_ before Generation_ moves on.
    TPartTask Task_ = nullptr;
    void* Context_ = nullptr;
    int Parts_ = 0;
    int First_ = 1;
    std::uint32_t Tag_ = 0;
};

TWorkers& Workers() {
    static TWorkers workers;
    return workers;
}

#endif

} // namespace

#if SORVEL2_THREADS

void SetThreadCount(int Count) { Workers().SetCount(Count); }
int ThreadCount() { return Workers().Count(); }
void RunParts(int Parts, TPartTask Task, void* Context) { Workers().Run(Parts, Task, Context); }
void StartParts(int Parts, TPartTask Task, void* Context) { Workers().Start(Parts, Task, Context); }
void WaitParts() { Workers().Wait(); }

#else

void SetThreadCount(int) {}
int ThreadCount() { return 1; }
void RunParts(int Parts, TPartTask Task, void* Context) {
    for (int part = 0; part < Parts; ++part) Task(Context, part);
}
void StartParts(int Parts, TPartTask Task, void* Context) { RunParts(Parts, Task, Context); }
void WaitParts() {}

#endif

void SetParallelGrain(std::int64_t Samples) { gGrain.store(std::max<std::int64_t>(Samples, 1)); }
std::int64_t ParallelGrain() { return gGrain.load(); }

int PartsFor(std::int64_t Work) {
    const std::int64_t parts = Work / ParallelGrain();
    return static_cast<int>(std::clamp<std::int64_t>(parts, 1, ThreadCount()));
}

void Backoff(int& Spins) {
    // A few pauses first (the other thread is usually about to finish); then
    // give the core away, in case the machine has more threads than cores.
    if (Spins < 64) {
        SORVEL2_PAUSE();
    } else {
#if SORVEL2_THREADS
        std::this_thread::yield();
#endif
    }
    ++Spins;
}
