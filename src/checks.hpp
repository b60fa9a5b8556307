// Assertions of the code base's own rules.
//
// The checks are on in a build with -DTARNWICK_CHECKS=ON (tools/run.sh, and
// CI's default, free-threaded and ThreadSanitizer stages) and in every build
// against a debug interpreter (the reference-leak stage); everywhere else
// TARNWICK_ASSERT's condition is compiled but never evaluated.
//
// With the checks on, every thread also counts the signal locks it holds
// (RWLock counts them), and TARNWICK_ASSERT_UNLOCKED() asserts that the count
// is zero. It stands wherever Python code can run or a reference can be
// released: dropping a non-null Ref, calling a callback or a hook, filling a
// once-cell, resolving a weak reference, and sleeping on a lock. A violation
// may only deadlock or crash once in a thousand runs, and only under another
// thread's timing; the count finds it on the first run that passes there.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Py_DEBUG comes from pyconfig.h, through Python.h.
#if defined(Py_DEBUG) && !defined(TARNWICK_CHECKS)
#define TARNWICK_CHECKS 1
#endif

#ifdef TARNWICK_CHECKS
#define TARNWICK_ASSERT(cond) ((cond) ? (void)0 : Py_FatalError("tarnwick: " #cond))
#else
#define TARNWICK_ASSERT(cond) ((void)sizeof((cond) ? 1 : 0))
#endif

namespace tarnwick::checks {

#ifdef TARNWICK_CHECKS
// A plain int: only its own thread ever touches it.
inline thread_local int locks_held = 0;

inline void lock_taken() noexcept { ++locks_held; }
inline void lock_given_up() noexcept {
    TARNWICK_ASSERT(locks_held > 0);
    --locks_held;
}
inline bool no_lock_held() noexcept { return locks_held == 0; }
#else
inline void lock_taken() noexcept {}
inline void lock_given_up() noexcept {}
constexpr bool no_lock_held() noexcept { return true; }
#endif

}  // namespace tarnwick::checks

#define TARNWICK_ASSERT_UNLOCKED() TARNWICK_ASSERT(::tarnwick::checks::no_lock_held())
