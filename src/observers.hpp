// Observers of emissions: the recorders and traces of tarnwick.testing.
//
// An observer is not a listener: it is in no table, and an emission's
// results, its signal's length and listing, and its error hooks are what
// they would be without it. Each interpreter keeps its observers in one
// tuple (InterpState::observers), replaced whole when one comes or goes; an
// emission that has any takes a reference to the tuple and calls the ones
// that concern it with no lock held.
//
// What an emission pays when nothing observes it: the test in
// emission_observed(), two relaxed loads of plain counters (its signal's
// count of observers, and the process's count of traces of every signal).
// Those counters are plain integers, so one process-wide count serves every
// interpreter; a trace in one interpreter only sends the others' emissions
// down the observed path, where they find none of theirs.
#pragma once

#include "ref.hpp"
#include "signal_record.hpp"
#include "small_vector.hpp"

#include <atomic>
#include <cstdint>

namespace tarnwick {

// Traces of every signal, in every interpreter.
inline std::atomic<std::uint32_t> g_every_signal_traces{0};

// Whether anything may observe an emission of `signal`: an observer that
// came after the test is first called by the next emission.
inline bool emission_observed(const SignalObject* signal) noexcept {
    return (signal->rec.observers.load(std::memory_order_relaxed) |
            g_every_signal_traces.load(std::memory_order_relaxed)) != 0;
}

// What one observed emission owes its observers. Made before the snapshot:
// it calls each recorder with the emission's arguments, and keeps what a
// recorder wants called when the emission ends, and the traces to tell of
// each call. For the recorders it also notes what the emission left an
// event loop to finish: each call a loop's delivery queued there, with the
// concurrent.futures.Future it returned, and the task a replayed emit_async
// started for its awaitables. Never raises: an observer that fails goes to
// sys.unraisablehook, and the emission goes on as if it were not there.
class EmissionWatch {
public:
    // `args` and `kwargs` (null for none) are the callbacks' arguments,
    // borrowed for the emission's life.
    EmissionWatch(SignalObject* signal, PyObject* args, PyObject* kwargs) noexcept;

    // The time a call starts, read only when a trace wants it.
    PyTime_t start() const noexcept;
    // `callback` returned `result`, or raised `error` (borrowed; the other is
    // null); the traces hear of it. No exception is set.
    void returned(PyTime_t start, PyObject* callback, PyObject* result,
                  PyObject* error) noexcept;
    // The emission started `task` on `loop` (borrowed) for its awaitables.
    void started(PyObject* loop, PyObject* task) noexcept;
    // The calls are over: the recorders hear of it, with the list of the
    // (loop, future or task) pairs noted, or None. Keeps the exception being
    // raised, if there is one.
    void finish() noexcept;

private:
    void note_queued(PyObject* callback, PyObject* result);
    void note(PyObject* loop, PyObject* pending);

    SignalObject* signal_;
    PyObject* args_;
    PyObject* kwargs_;
    SmallVector<Ref, 2> traces_;
    SmallVector<Ref, 2> finishers_;
    // What the emission left loops to finish: a list of (loop, future or
    // task) pairs, made with the first.
    Ref pending_;
};

// Makes the current interpreter's tarnwick._observers, the private
// submodule tarnwick.testing imports, and binds it in sys.modules and as
// `package`'s attribute _observers: called by tarnwick's exec step.
void add_observers_module(PyObject* package);

// What an emission nobody observes passes where an observed one passes its
// EmissionWatch: every member does nothing, and the compiler leaves nothing.
struct Unwatched {
    static PyTime_t start() noexcept { return 0; }
    static void returned(PyTime_t, PyObject*, PyObject*, PyObject*) noexcept {}
    static void started(PyObject*, PyObject*) noexcept {}
};

}  // namespace tarnwick
