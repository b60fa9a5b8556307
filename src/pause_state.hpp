// What a signal keeps for paused(): how many pauses are entered, the
// emissions recorded meanwhile, and the outermost pause's reducer. A support
// header of the record (signal_record.hpp); pausing.cpp is its one user,
// apart from the collector slots.
#pragma once

#include "lock.hpp"
#include "ref.hpp"
#include "small_vector.hpp"

#include <cstdint>

namespace tarnwick {

// One emission made while the signal was paused, held strongly until it is
// replayed: its positional arguments, its keywords without on_error (empty
// when there were none), its error mode, and whether it was emit_async.
struct RecordedEmission {
    Ref args;
    Ref kwargs;
    bool collect;
    bool awaiting;
};

using RecordedEmissions = SmallVector<RecordedEmission, 4>;

// Every field is read and written under `lock`, exclusively (its readers are
// writers too), except by the collector's traverse and by dealloc, which the
// record's own rules allow. The record's `blocks` word carries kPaused while
// `depth` is not 0, so that an emission finds "nothing paused" in the load
// it already makes for blocked().
struct PauseState {
    RWLock lock;
    // Pauses entered, on every thread; the outermost exit keeps its own
    // count while it replays, so that emissions racing with it are recorded
    // until it has replayed them all.
    std::uint64_t depth = 0;
    RecordedEmissions recorded;
    // The reducer and the initial value of the pause that was entered first;
    // empty when it had none. Released when the last pause ends.
    Ref reducer;
    Ref initial;
    bool has_initial = false;
};

}  // namespace tarnwick
