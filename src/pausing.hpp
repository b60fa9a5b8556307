// paused() and SignalPauser, the context manager that records a signal's
// emissions and replays them, or one fold of them, when the outermost pause
// exits.
#pragma once

#include "ref.hpp"

namespace tarnwick {

struct SignalObject;

// Signal.paused(reducer=None, initial=...): a new SignalPauser for `self`;
// `bound` holds reducer and initial, null when not given.
PyObject* Signal_paused(PyObject* self, PyObject* const* bound);

// For an emission that found kPaused set and no block: records it and
// returns true, or returns false when the last pause ended meanwhile (its
// replay is over) and the emission is to run now. `kwargs` is null or the
// keywords without on_error. Raises TypeError for keywords under a reducing
// pause.
bool record_emission(SignalObject* signal, PyObject* args, PyObject* kwargs, bool collect,
                     bool awaiting);

// Emits a recorded emission again for the outermost exit: its positional
// arguments, its keywords without on_error (or null) and its mode; a block
// still holds it back, a pause does not. Raises what the emission raises.
// The emission defines it (emission.cpp), which records through the function
// above: so each of the two includes only this header.
void replay_emission(SignalObject* signal, PyObject* args, PyObject* kwargs, bool collect,
                     bool awaiting);

// The collector's visit of, and the collector's clear's release of, what a
// signal's pauses hold.
int traverse_paused(SignalObject* signal, visitproc visit, void* arg);
void clear_paused(SignalObject* signal) noexcept;

}  // namespace tarnwick
