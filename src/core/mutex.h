// Internal mutex: a short spin, then a futex wait. Uncontended lock and
// unlock are one atomic operation each. No Python here.
#pragma once
#include <atomic>
#include <cstdint>

namespace wl {

class Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() {
        uint32_t expected = 0;
        if (state_.compare_exchange_strong(expected, 1, std::memory_order_acquire,
                                           std::memory_order_relaxed))
            return;
        lock_slow();
    }
    bool try_lock() {
        uint32_t expected = 0;
        return state_.compare_exchange_strong(expected, 1, std::memory_order_acquire,
                                              std::memory_order_relaxed);
    }
    void unlock() {
        // 1 = locked, 2 = locked with (possible) waiters.
        if (state_.exchange(0, std::memory_order_release) == 2) wake_one();
    }

private:
    void lock_slow();
    void wake_one();
    std::atomic<uint32_t> state_{0};
};

// A mutex that remembers a fatal failure inside a locked section. Callers
// check poisoned() after locking and refuse to touch the guarded state.
class PoisonMutex : public Mutex {
public:
    bool poisoned() const { return poisoned_.load(std::memory_order_relaxed); }
    void poison() { poisoned_.store(true, std::memory_order_relaxed); }

private:
    std::atomic<bool> poisoned_{false};
};

template <class M>
class LockGuard {
public:
    explicit LockGuard(M& m) : m_(m) { m_.lock(); }
    ~LockGuard() { m_.unlock(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    M& m_;
};

}  // namespace wl
