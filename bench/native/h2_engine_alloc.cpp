// HTTP/2 engine write path in steady state: take_pending + recycle +
// credit_written per batch, with one GOAWAY frame appended each time, must
// allocate nothing once warm (the written buffer comes back as the spare).
// Counts every malloc and operator new made during the measured loop, and
// reports the CPU time per batch.
#include <malloc.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "bench_timing.h"
#include "proto/h2/engine.h"

extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_realloc(void*, size_t);

namespace {
std::atomic<bool> g_counting{false};
std::atomic<size_t> g_allocs{0};
void note() {
    if (g_counting.load(std::memory_order_relaxed)) g_allocs.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

extern "C" void* malloc(size_t n) {
    note();
    return __libc_malloc(n);
}
extern "C" void* realloc(void* p, size_t n) {
    note();
    return __libc_realloc(p, n);
}
void* operator new(size_t n) {
    note();
    if (void* p = __libc_malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

int main(int argc, char** argv) {
    size_t batches = argc > 1 ? size_t(std::atoll(argv[1])) * 100000 : 1000000;
    wl::h2::EngineConfig cfg;
    wl::h2::Engine e(cfg);
    if (e.begin()) return 1;
    auto step = [&] {
        e.send_goaway(0);
        bool stopping;
        wl::ByteBuf* b = e.take_pending(&stopping);
        e.recycle(b);
        e.credit_written();
    };
    for (int i = 0; i < 1000; ++i) step();
    g_counting = true;
    double t0 = bench::thread_seconds();
    for (size_t i = 0; i < batches; ++i) step();
    double dt = bench::thread_seconds() - t0;
    g_counting = false;
    std::printf("h2 engine write path: %zu allocations over %zu batches, %.1f ns per batch\n",
                g_allocs.load(), batches, dt * 1e9 / double(batches));
    return g_allocs.load() == 0 ? 0 : 1;
}
