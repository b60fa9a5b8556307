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
// Free-threaded builds: readers that only ever meet other readers still
// collide on the word, and the cache line bounces between cores on every
// acquisition. Once a lock has seen enough of that, it gives readers a set
// of counters, each on a cache line of its own, and a thread counts itself
// in the one assigned to it. A reader then only reads the word; a writer
// announces itself in the word and then waits for every counter to drain.
// The counters cost a kilobyte, so only locks that are actually contended
// get them, and they stay until the lock is destroyed. The Dekker-style
// handshake (reader: count in, then look at the word; writer: mark the word,
// then look at the counters) is why those accesses are sequentially
// consistent. A writer that must wait for the counters does so as a waiting
// writer, not holding the word, and sleeps on a separate drain count.
//
// Nothing that can run Python code, detach or reach a safe point may happen
// while the lock is held; callers move references out and drop them after
// unlocking. That rule is what makes tp_traverse's try_lock_shared succeed.
// With the checks on (checks.hpp), every successful acquisition and every
// release is counted per thread, so that the places where the rule matters
// can assert it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "checks.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>

#ifdef _MSC_VER
#include <intrin.h>  // _mm_pause, __yield
#endif

namespace tarnwick {

// Where a reader counted itself in: the lock's word (nullptr) or one of its
// reader counters. unlock_shared needs it back.
struct ReadHold {
    std::atomic<std::uint32_t>* counter = nullptr;
};

class RWLock {
public:
    RWLock() noexcept = default;
    RWLock(const RWLock&) = delete;
    RWLock& operator=(const RWLock&) = delete;
#ifdef Py_GIL_DISABLED
    ~RWLock() { free_counters(counters_.load(std::memory_order_relaxed)); }
#endif

    ReadHold lock_shared() noexcept {
        const ReadHold hold = acquire_shared();
        checks::lock_taken();
        return hold;
    }

    void unlock_shared(ReadHold hold) noexcept {
        checks::lock_given_up();
        release_shared(hold);
    }

    void lock() noexcept {
        acquire();
        checks::lock_taken();
    }

    void unlock() noexcept {
        checks::lock_given_up();
        release();
    }

    // For the garbage collector's traverse, which must never wait. Succeeds
    // whenever no writer holds the lock; waiting writers do not matter here.
    bool try_lock_shared(ReadHold& hold) noexcept {
        if (!try_acquire_shared(hold)) {
            return false;
        }
        checks::lock_taken();
        return true;
    }

private:
    ReadHold acquire_shared() noexcept {
#ifdef Py_GIL_DISABLED
        if (Counters* c = counters_.load(std::memory_order_acquire)) {
            std::atomic<std::uint32_t>* mine = &c->slot[counter_index()].readers;
            if (enter_counted(mine, kWriter | kWaiterMask)) {
                return {mine};
            }
            return lock_shared_slow();
        }
#endif
        std::uint32_t s = word_.load(std::memory_order_relaxed);
        if ((s & (kWriter | kWaiterMask)) == 0 && (s & kReaderMask) != kReaderMask &&
            word_.compare_exchange_weak(s, s + 1, std::memory_order_acquire,
                                        std::memory_order_relaxed)) {
            return {};
        }
        return lock_shared_slow();
    }

    void release_shared(ReadHold hold) noexcept {
#ifdef Py_GIL_DISABLED
        if (hold.counter != nullptr) {
            leave_counted(hold.counter);
            return;
        }
#else
        (void)hold;
#endif
        std::uint32_t prev = word_.fetch_sub(1, std::memory_order_release);
        if ((prev & kReaderMask) == 1 && (prev & kParked) != 0) {
            wake_all();
        }
    }

    void acquire() noexcept {
        std::uint32_t expected = 0;
        if (word_.compare_exchange_strong(expected, kWriter, std::memory_order_seq_cst,
                                          std::memory_order_relaxed)) {
            if (!settle_writer()) {
                lock_slow(true);
            }
            return;
        }
        lock_slow(false);
    }

    void release() noexcept {
        std::uint32_t prev = word_.fetch_and(~(kWriter | kParked), std::memory_order_release);
        if ((prev & kParked) != 0) {
            word_.notify_all();
        }
    }

    bool try_acquire_shared(ReadHold& hold) noexcept {
#ifdef Py_GIL_DISABLED
        if (Counters* c = counters_.load(std::memory_order_acquire)) {
            std::atomic<std::uint32_t>* mine = &c->slot[counter_index()].readers;
            if (enter_counted(mine, kWriter)) {
                hold.counter = mine;
                return true;
            }
            return false;
        }
#endif
        std::uint32_t s = word_.load(std::memory_order_relaxed);
        while ((s & kWriter) == 0 && (s & kReaderMask) != kReaderMask) {
            if (word_.compare_exchange_weak(s, s + 1, std::memory_order_acquire,
                                            std::memory_order_relaxed)) {
                hold.counter = nullptr;
                return true;
            }
        }
        return false;
    }

    static constexpr std::uint32_t kReaderMask = (1u << 20) - 1;
    static constexpr std::uint32_t kWaiterOne = 1u << 20;
    static constexpr std::uint32_t kWaiterMask = ((1u << 10) - 1) << 20;
    static constexpr std::uint32_t kParked = 1u << 30;
    static constexpr std::uint32_t kWriter = 1u << 31;
#ifdef Py_GIL_DISABLED
    static constexpr int kSpins = 64;
    // Reader collisions on the word before a lock gets reader counters.
    static constexpr std::uint32_t kCollisionsBeforeCounters = 16;
    static constexpr std::size_t kCounters = 16;

    struct alignas(64) Counter {
        std::atomic<std::uint32_t> readers{0};
    };
    struct Counters {
        Counter slot[kCounters];
        void* block = nullptr;  // what was allocated, for free_counters
    };

    // From Python's raw allocator, so that tracemalloc accounts for them.
    static Counters* new_counters() noexcept {
        void* block = PyMem_RawMalloc(sizeof(Counters) + alignof(Counters));
        if (block == nullptr) {
            return nullptr;
        }
        auto at = reinterpret_cast<std::uintptr_t>(block);
        at = (at + alignof(Counters) - 1) & ~std::uintptr_t{alignof(Counters) - 1};
        auto* c = ::new (reinterpret_cast<void*>(at)) Counters();
        c->block = block;
        return c;
    }

    static void free_counters(Counters* c) noexcept {
        if (c != nullptr) {
            void* block = c->block;
            c->~Counters();
            PyMem_RawFree(block);
        }
    }

    // Threads take counters in turn, so the first kCounters threads that
    // read never share one.
    static std::size_t counter_index() noexcept {
        static std::atomic<std::size_t> next{0};
        thread_local std::size_t index = kCounters;
        if (index == kCounters) {
            index = next.fetch_add(1, std::memory_order_relaxed) % kCounters;
        }
        return index;
    }

    // Counts this reader in, then checks that none of `blocking` is set in
    // the word; if some is, counts it out again.
    bool enter_counted(std::atomic<std::uint32_t>* mine, std::uint32_t blocking) noexcept {
        mine->fetch_add(1, std::memory_order_seq_cst);
        if ((word_.load(std::memory_order_seq_cst) & blocking) == 0) {
            return true;
        }
        leave_counted(mine);
        return false;
    }

    // A writer waiting for the counters to drain sleeps on `drains_`. A
    // reader cannot tell whether it was the last one out, so while any writer
    // waits it advances `drains_` and wakes the sleepers every time. It only
    // ever grows, so a writer that read it before looking at the counters
    // cannot miss a drain (the word could not serve: its value can come back).
    void leave_counted(std::atomic<std::uint32_t>* mine) noexcept {
        mine->fetch_sub(1, std::memory_order_seq_cst);
        if ((word_.load(std::memory_order_seq_cst) & kWaiterMask) != 0) {
            drains_.fetch_add(1, std::memory_order_seq_cst);
            drains_.notify_all();
        }
    }

    bool counters_drained() const noexcept {
        Counters* c = counters_.load(std::memory_order_acquire);
        if (c == nullptr) {
            return true;
        }
        for (const Counter& k : c->slot) {
            if (k.readers.load(std::memory_order_seq_cst) != 0) {
                return false;
            }
        }
        return true;
    }

    // Gives the lock its reader counters, as a writer, so that no reader is
    // counted in the word's way while the counters appear. If they cannot be
    // allocated, the lock goes on without them.
    void add_counters() noexcept {
        Counters* fresh = new_counters();
        if (fresh == nullptr) {
            return;
        }
        acquire();
        if (counters_.load(std::memory_order_relaxed) == nullptr) {
            counters_.store(fresh, std::memory_order_release);
            fresh = nullptr;
        }
        release();
        free_counters(fresh);
    }

    // Waits, as a counted waiting writer that does not hold the word, until
    // every reader counter is zero. New readers stay out meanwhile.
    void wait_for_counters() noexcept {
        int spins = 0;
        for (;;) {
            const std::uint32_t seen = drains_.load(std::memory_order_seq_cst);
            if (counters_drained()) {
                return;
            }
            if (spins < kSpins) {
                ++spins;
                pause();
                continue;
            }
            sleep_detached(drains_, seen);
        }
    }

    // Called holding the word as a writer. True if no counted reader is
    // inside, so the lock is ours. Otherwise gives the word up again and
    // stays a waiting writer (false), so that it never sleeps holding it.
    bool settle_writer() noexcept {
        if (counters_drained()) {
            return true;
        }
        std::uint32_t s = word_.load(std::memory_order_relaxed);
        for (;;) {
            if ((s & kWaiterMask) == kWaiterMask) {
                // No room to count another waiter: keep the word; new readers
                // stay out, so the ones inside leave soon.
                while (!counters_drained()) {
                    pause();
                }
                return true;
            }
            if (word_.compare_exchange_weak(s, s - kWriter + kWaiterOne,
                                            std::memory_order_seq_cst,
                                            std::memory_order_relaxed)) {
                return false;
            }
        }
    }

    std::atomic<Counters*> counters_{nullptr};
    std::atomic<std::uint32_t> collisions_{0};
    std::atomic<std::uint32_t> drains_{0};
#else
    // With a GIL, the holder cannot make progress while we spin.
    static constexpr int kSpins = 0;

    static constexpr bool settle_writer() noexcept { return true; }
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
        sleep_detached(word_, seen);
    }

    // Sleeps until `a` differs from `seen` (or a spurious wake-up).
    static void sleep_detached(std::atomic<std::uint32_t>& a, std::uint32_t seen) noexcept {
        // Detaching with a lock held would let the collector or another
        // thread's Python code run into it.
        TARNWICK_ASSERT_UNLOCKED();
        PyThreadState* ts = PyThreadState_GetUnchecked();
        if (ts != nullptr) {
            PyEval_SaveThread();
        }
        a.wait(seen, std::memory_order_relaxed);
        if (ts != nullptr) {
            PyEval_RestoreThread(ts);
        }
    }

    // A spin-wait hint to the core; without one for the target, spinning
    // merely runs hotter.
    static void pause() noexcept {
#if defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
        _mm_pause();
#elif defined(_MSC_VER) && defined(_M_ARM64)
        __yield();
#elif defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#elif defined(__aarch64__)
        asm volatile("yield");
#endif
    }

    // One round of waiting after a failed attempt that saw `seen`: a pause
    // while spins remain, else a sleep until the word changes.
    void spin_or_park(int& spins, std::uint32_t seen) noexcept {
        if (spins < kSpins) {
            ++spins;
            pause();
            return;
        }
        park(seen);
    }

    ReadHold lock_shared_slow() noexcept {
#ifdef Py_GIL_DISABLED
        // No writer in sight, yet the word's fast path failed: another reader
        // changed the word in between.
        if (counters_.load(std::memory_order_relaxed) == nullptr &&
            (word_.load(std::memory_order_relaxed) & (kWriter | kWaiterMask)) == 0 &&
            collisions_.fetch_add(1, std::memory_order_relaxed) + 1 == kCollisionsBeforeCounters) {
            add_counters();
        }
#endif
        int spins = 0;
        for (;;) {
            std::uint32_t s = word_.load(std::memory_order_relaxed);
            if ((s & (kWriter | kWaiterMask)) == 0) {
#ifdef Py_GIL_DISABLED
                if (Counters* c = counters_.load(std::memory_order_acquire)) {
                    std::atomic<std::uint32_t>* mine = &c->slot[counter_index()].readers;
                    if (enter_counted(mine, kWriter | kWaiterMask)) {
                        return {mine};
                    }
                    continue;
                }
#endif
                // A full reader count is treated like a writer: wait for room.
                if ((s & kReaderMask) != kReaderMask) {
                    if (word_.compare_exchange_weak(s, s + 1, std::memory_order_acquire,
                                                    std::memory_order_relaxed)) {
                        return {};
                    }
                    continue;
                }
            }
            spin_or_park(spins, s);
        }
    }

    // `counted`: this writer is already counted among the waiting ones.
    void lock_slow(bool counted) noexcept {
        int spins = 0;
        for (;;) {
#ifdef Py_GIL_DISABLED
            if (counted) {
                wait_for_counters();
            }
#endif
            std::uint32_t s = word_.load(std::memory_order_relaxed);
            if ((s & (kWriter | kReaderMask)) == 0) {
                std::uint32_t next = (counted ? s - kWaiterOne : s) | kWriter;
                if (word_.compare_exchange_weak(s, next, std::memory_order_seq_cst,
                                                std::memory_order_relaxed)) {
                    if (settle_writer()) {
                        return;
                    }
                    counted = true;
                    continue;
                }
                continue;
            }
            if (!counted) {
                // Announce the waiting writer so that new readers stay out.
                if ((s & kWaiterMask) == kWaiterMask ||
                    !word_.compare_exchange_weak(s, s + kWaiterOne, std::memory_order_seq_cst,
                                                 std::memory_order_relaxed)) {
                    pause();
                    continue;
                }
                counted = true;
                continue;
            }
            spin_or_park(spins, s);
        }
    }

    std::atomic<std::uint32_t> word_{0};
};

// Holds a lock shared for the guard's scope. Functions that need a lock held
// take its guard as a parameter, which says so in their signature.
class SharedGuard {
public:
    explicit SharedGuard(RWLock& lock) noexcept : lock_(lock), hold_(lock.lock_shared()) {}
    ~SharedGuard() { lock_.unlock_shared(hold_); }
    SharedGuard(const SharedGuard&) = delete;
    SharedGuard& operator=(const SharedGuard&) = delete;

    bool guards(const RWLock& lock) const noexcept { return &lock_ == &lock; }

private:
    RWLock& lock_;
    ReadHold hold_;
};

// Holds a lock exclusively for the guard's scope.
class ExclusiveGuard {
public:
    explicit ExclusiveGuard(RWLock& lock) noexcept : lock_(lock) { lock_.lock(); }
    ~ExclusiveGuard() { lock_.unlock(); }
    ExclusiveGuard(const ExclusiveGuard&) = delete;
    ExclusiveGuard& operator=(const ExclusiveGuard&) = delete;

    bool guards(const RWLock& lock) const noexcept { return &lock_ == &lock; }

private:
    RWLock& lock_;
};

// A plain mutex of ours on a PyMutex, for state that only ever changes
// briefly and with no Python code run (a rate limiter's pending call and
// flags). It is counted like the reader-writer lock, so that the checks see
// it held; a thread that must wait for it sleeps detached from the
// interpreter (PyMutex_Lock does), and it never waits holding another.
class Mutex {
public:
    Mutex() noexcept = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() noexcept {
        TARNWICK_ASSERT_UNLOCKED();
        PyMutex_Lock(&mutex_);
        checks::lock_taken();
    }

    void unlock() noexcept {
        checks::lock_given_up();
        PyMutex_Unlock(&mutex_);
    }

private:
    PyMutex mutex_{};
};

// Holds a Mutex for the guard's scope.
using MutexGuard = std::lock_guard<Mutex>;

}  // namespace tarnwick
