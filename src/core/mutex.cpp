#include "core/mutex.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define WL_CPU_RELAX() _mm_pause()
#elif defined(__aarch64__)
#define WL_CPU_RELAX() __asm__ __volatile__("yield")
#else
#define WL_CPU_RELAX() ((void)0)
#endif

namespace wl {

namespace {
long futex(std::atomic<uint32_t>* addr, int op, uint32_t val) {
    return syscall(SYS_futex, reinterpret_cast<uint32_t*>(addr), op, val, nullptr, nullptr, 0);
}
}  // namespace

void Mutex::lock_slow() {
    // Critical sections are short: spin a little before sleeping.
    for (int i = 0; i < 100; ++i) {
        uint32_t s = state_.load(std::memory_order_relaxed);
        if (s == 0) {
            uint32_t expected = 0;
            if (state_.compare_exchange_weak(expected, 1, std::memory_order_acquire,
                                             std::memory_order_relaxed))
                return;
        } else if (s == 2) {
            break;
        }
        WL_CPU_RELAX();
    }
    // Mark contended; whoever unlocks from state 2 wakes one sleeper.
    while (state_.exchange(2, std::memory_order_acquire) != 0)
        futex(&state_, FUTEX_WAIT_PRIVATE, 2);
}

void Mutex::wake_one() { futex(&state_, FUTEX_WAKE_PRIVATE, 1); }

}  // namespace wl
