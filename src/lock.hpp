// A writer-preferring reader-writer lock in one atomic word.
//
// Layout of the word:
//   bits  0..19  number of readers holding the lock
//   bits 20..29  number of writers waiting for it
//   bit  30      someone sleeps on the word and wants a wake-up
//   bit  31      a writer holds the lock
//
// New readers stay out while a writer holds or waits for the lock, so a stream
// of emissions cannot starve connect and disconnect.
//
// Waiting: a thread first retries the compare-and-swap, then (free-threaded
// builds only) spins briefly, then detaches from the interpreter and sleeps on
// the word. It re-attaches before it retries, never acquiring while detached.
// Sleeping detached lets the GIL, and the free-threaded collector's
// stop-the-world, proceed while we wait. Ownership is never handed to a
// waiter: every waiter competes again after waking.
//
// Nothing that can run Python code, detach or reach a safe point may happen
// while the lock is held; callers move references out and drop them after
// unlocking. That rule is what makes tp_traverse's try_lock_shared succeed.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>

namespace tarnwick {

class RWLock {
public:
    RWLock() noexcept = default;
    RWLock(const RWLock&) = delete;
    RWLock& operator=(const RWLock&) = delete;

    void lock_shared() noexcept {
        std::uint32_t s = word_.load(std::memory_order_relaxed);
        if ((s & (kWriter | kWaiterMask)) == 0 && (s & kReaderMask) != kReaderMask &&
            word_.compare_exchange_weak(s, s + 1, std::memory_order_acquire,
                                        std::memory_order_relaxed)) {
            return;
        }
        lock_shared_slow();
    }

    void unlock_shared() noexcept {
        std::uint32_t prev = word_.fetch_sub(1, std::memory_order_release);
        if ((prev & kReaderMask) == 1 && (prev & kParked) != 0) {
            wake_all();
        }
    }

    void lock() noexcept {
        std::uint32_t expected = 0;
        if (word_.compare_exchange_strong(expected, kWriter, std::memory_order_acquire,
                                          std::memory_order_relaxed)) {
            return;
        }
        lock_slow();
    }

    void unlock() noexcept {
        std::uint32_t prev = word_.fetch_and(~(kWriter | kParked), std::memory_order_release);
        if ((prev & kParked) != 0) {
            word_.notify_all();
        }
    }

    // For the garbage collector's traverse, which must never wait. Succeeds
    // whenever no writer holds the lock; waiting writers do not matter here.
    bool try_lock_shared() noexcept {
        std::uint32_t s = word_.load(std::memory_order_relaxed);
        while ((s & kWriter) == 0 && (s & kReaderMask) != kReaderMask) {
            if (word_.compare_exchange_weak(s, s + 1, std::memory_order_acquire,
                                            std::memory_order_relaxed)) {
                return true;
            }
        }
        return false;
    }

private:
    static constexpr std::uint32_t kReaderMask = (1u << 20) - 1;
    static constexpr std::uint32_t kWaiterOne = 1u << 20;
    static constexpr std::uint32_t kWaiterMask = ((1u << 10) - 1) << 20;
    static constexpr std::uint32_t kParked = 1u << 30;
    static constexpr std::uint32_t kWriter = 1u << 31;
#ifdef Py_GIL_DISABLED
    static constexpr int kSpins = 64;
#else
    // With a GIL, the holder cannot make progress while we spin.
    static constexpr int kSpins = 0;
#endif

    void wake_all() noexcept {
        word_.fetch_and(~kParked, std::memory_order_relaxed);
        word_.notify_all();
    }

    // Sleeps until the word differs from `seen`, detached from the
    // interpreter, after marking the word as having a sleeper.
    void park(std::uint32_t seen) noexcept {
        if ((seen & kParked) == 0) {
            if (!word_.compare_exchange_strong(seen, seen | kParked, std::memory_order_relaxed)) {
                return;  // the word moved on; retry at once
            }
            seen |= kParked;
        }
        PyThreadState* ts = PyThreadState_GetUnchecked();
        if (ts != nullptr) {
            PyEval_SaveThread();
        }
        word_.wait(seen, std::memory_order_relaxed);
        if (ts != nullptr) {
            PyEval_RestoreThread(ts);
        }
    }

    static void pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#elif defined(__aarch64__)
        asm volatile("yield");
#endif
    }

    void lock_shared_slow() noexcept {
        int spins = 0;
        for (;;) {
            std::uint32_t s = word_.load(std::memory_order_relaxed);
            // A full reader count is treated like a writer: wait for room.
            if ((s & (kWriter | kWaiterMask)) == 0 && (s & kReaderMask) != kReaderMask) {
                if (word_.compare_exchange_weak(s, s + 1, std::memory_order_acquire,
                                                std::memory_order_relaxed)) {
                    return;
                }
                continue;
            }
            if (spins < kSpins) {
                ++spins;
                pause();
                continue;
            }
            park(s);
        }
    }

    void lock_slow() noexcept {
        int spins = 0;
        bool counted = false;
        for (;;) {
            std::uint32_t s = word_.load(std::memory_order_relaxed);
            if ((s & (kWriter | kReaderMask)) == 0) {
                std::uint32_t next = (counted ? s - kWaiterOne : s) | kWriter;
                if (word_.compare_exchange_weak(s, next, std::memory_order_acquire,
                                                std::memory_order_relaxed)) {
                    return;
                }
                continue;
            }
            if (!counted) {
                // Announce the waiting writer so that new readers stay out.
                if ((s & kWaiterMask) == kWaiterMask ||
                    !word_.compare_exchange_weak(s, s + kWaiterOne, std::memory_order_relaxed)) {
                    pause();
                    continue;
                }
                counted = true;
                continue;
            }
            if (spins < kSpins) {
                ++spins;
                pause();
                continue;
            }
            park(s);
        }
    }

    std::atomic<std::uint32_t> word_{0};
};

// Holds a lock in one mode for the guard's scope.
template <void (RWLock::*Acquire)() noexcept, void (RWLock::*Release)() noexcept>
class LockGuard {
public:
    explicit LockGuard(RWLock& lock) noexcept : lock_(lock) { (lock_.*Acquire)(); }
    ~LockGuard() { (lock_.*Release)(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    RWLock& lock_;
};

using SharedGuard = LockGuard<&RWLock::lock_shared, &RWLock::unlock_shared>;
using ExclusiveGuard = LockGuard<&RWLock::lock, &RWLock::unlock>;

}  // namespace tarnwick
