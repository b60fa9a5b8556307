// A small extension module that drives the signals' reader-writer lock
// (src/lock.hpp) directly, built by test_lock.py with the code's own checks
// on (-DTARNWICK_CHECKS). It is not part of tarnwick: the lock has no Python
// face, and a test of it must not need one.
//
//   contend(readers, writers, rounds, attached) -> None
//       Threads take the lock shared and exclusively, `rounds` times each,
//       and check on every hold that no writer is inside with anyone else.
//       `attached`: the threads are Python threads (they wait detached);
//       otherwise plain threads that the interpreter never sees.
//   waiter_detaches(shared, seconds) -> bool
//       The calling thread waits for a lock another thread holds until a
//       third thread, which needs the interpreter (it runs a collection),
//       lets it go. True if that happened; False if the holder gave up after
//       `seconds` because the waiter kept the interpreter while it waited.
//   counts_while_held() -> (int, int, int, int)
//       The calling thread's count of held locks, as the checks keep it:
//       holding one lock shared, that and another one by try-lock, one
//       exclusively, and none.
//   drop_under_lock() -> None
//       Breaks the rule on purpose: drops a reference holding a lock. The
//       checks must stop the process.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "lock.hpp"
#include "ref.hpp"

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#ifndef TARNWICK_CHECKS
#error "the probe counts held locks: build it with -DTARNWICK_CHECKS"
#endif

namespace {

using namespace tarnwick;
using Clock = std::chrono::steady_clock;

struct Arena {
    RWLock lock;
    std::atomic<int> readers_inside{0};
    std::atomic<int> writers_inside{0};
    std::atomic<long> faults{0};
    long value = 0;  // written only under the exclusive lock
};

void reader(Arena& a, long rounds) {
    for (long i = 0; i < rounds; ++i) {
        SharedGuard guard(a.lock);
        a.readers_inside.fetch_add(1);
        if (a.writers_inside.load() != 0 || checks::locks_held != 1) {
            a.faults.fetch_add(1);
        }
        volatile long seen = a.value;
        (void)seen;
        a.readers_inside.fetch_sub(1);
    }
    if (!checks::no_lock_held()) {
        a.faults.fetch_add(1);
    }
}

void writer(Arena& a, long rounds) {
    for (long i = 0; i < rounds; ++i) {
        ExclusiveGuard guard(a.lock);
        if (a.writers_inside.fetch_add(1) != 0 || a.readers_inside.load() != 0 ||
            checks::locks_held != 1) {
            a.faults.fetch_add(1);
        }
        const long v = a.value;
        std::this_thread::yield();  // a torn update would show below
        a.value = v + 1;
        a.writers_inside.fetch_sub(1);
    }
    if (!checks::no_lock_held()) {
        a.faults.fetch_add(1);
    }
}

PyObject* contend(PyObject*, PyObject* args) {
    int readers = 0;
    int writers = 0;
    long rounds = 0;
    int attached = 0;
    if (!PyArg_ParseTuple(args, "iilp", &readers, &writers, &rounds, &attached)) {
        return nullptr;
    }
    Arena a;
    Py_BEGIN_ALLOW_THREADS
    std::vector<std::thread> threads;
    for (int k = 0; k < readers + writers; ++k) {
        threads.emplace_back([&a, k, readers, rounds, attached] {
            PyGILState_STATE g{};
            if (attached) {
                g = PyGILState_Ensure();
            }
            if (k < readers) {
                reader(a, rounds);
            } else {
                writer(a, rounds);
            }
            if (attached) {
                PyGILState_Release(g);
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    Py_END_ALLOW_THREADS
    if (a.faults.load() != 0 || a.value != writers * rounds) {
        return PyErr_Format(PyExc_AssertionError, "%ld faults; %ld writes of %ld", a.faults.load(),
                            a.value, writers * rounds);
    }
    Py_RETURN_NONE;
}

PyObject* waiter_detaches(PyObject*, PyObject* args) {
    int shared = 0;
    double seconds = 0;
    if (!PyArg_ParseTuple(args, "pd", &shared, &seconds)) {
        return nullptr;
    }
    RWLock lock;
    std::atomic<bool> held{false};
    std::atomic<bool> go{false};
    std::atomic<bool> gave_up{false};
    const auto deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    // Holds the lock, outside the interpreter, until let go.
    std::thread holder([&] {
        lock.lock();
        held.store(true);
        while (!go.load()) {
            if (Clock::now() > deadline) {
                gave_up.store(true);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        lock.unlock();
    });
    while (!held.load()) {
        std::this_thread::yield();
    }
    // Needs the interpreter: the GIL, or on a free-threaded build a world
    // stopped for the collection, which an attached waiter would block.
    std::thread releaser([&] {
        PyGILState_STATE g = PyGILState_Ensure();
        PyGC_Collect();
        go.store(true);
        PyGILState_Release(g);
    });
    if (shared) {
        SharedGuard guard(lock);
    } else {
        ExclusiveGuard guard(lock);
    }
    Py_BEGIN_ALLOW_THREADS
    holder.join();
    releaser.join();
    Py_END_ALLOW_THREADS
    return PyBool_FromLong(!gave_up.load());
}

PyObject* drop_under_lock(PyObject*, PyObject*) {
    RWLock lock;
    Ref doomed = Ref::steal(PyList_New(0));
    ExclusiveGuard guard(lock);
    doomed.reset();
    Py_RETURN_NONE;
}

PyObject* counts_while_held(PyObject*, PyObject*) {
    RWLock lock;
    RWLock other;
    int shared = 0;
    int both = -1;
    {
        SharedGuard guard(lock);
        shared = checks::locks_held;
        ReadHold hold;
        if (other.try_lock_shared(hold)) {
            both = checks::locks_held;
            other.unlock_shared(hold);
        }
    }
    int exclusive = 0;
    {
        ExclusiveGuard guard(lock);
        exclusive = checks::locks_held;
    }
    return Py_BuildValue("iiii", shared, both, exclusive, checks::locks_held);
}

PyMethodDef methods[] = {
    {"contend", contend, METH_VARARGS, nullptr},
    {"waiter_detaches", waiter_detaches, METH_VARARGS, nullptr},
    {"drop_under_lock", drop_under_lock, METH_NOARGS, nullptr},
    {"counts_while_held", counts_while_held, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "lock_probe", nullptr, 0, methods,
                      slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_lock_probe() { return PyModuleDef_Init(&module); }
