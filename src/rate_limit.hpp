// What listener(..., throttle=SECONDS) and listener(..., debounce=SECONDS)
// connect: a limiter that makes some calls at once, keeps the last
// emission's arguments for a call it makes later, and drops the rest.
#pragma once

#include "lock.hpp"
#include "ref.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace tarnwick {

enum class RateMode : unsigned char { None, Throttle, Debounce };

// The options as listener converted them.
struct RateLimit {
    RateMode mode = RateMode::None;
    double seconds = 0;
};

// Converts listener's throttle= and debounce= (null or None: not given):
// TypeError for a bool, a non-number or both given, ValueError for an
// interval that is not a finite number above zero, each naming the argument.
RateLimit convert_rate_limit(PyObject* throttle, PyObject* debounce);

// `target` (the call's reference: the callable or a loop's delivery of it;
// for a weak connection the weak reference or the weak delivery) in a
// limiter for `signal`, which makes at most `times` calls when given. A weak
// limiter is called with no arguments by the emission's resolution, and
// answers with an object that shares its state and holds the referent for
// that emission, or None once the referent has died.
Ref make_limiter(PyObject* signal, Ref target, RateLimit rate,
                 const std::optional<std::uint64_t>& times, bool weak);

// Tells a limiter the id of its connection; connect calls it as it draws
// the id, under the table's exclusive lock, so it only stores.
void set_limiter_id(PyObject* limiter, std::uint64_t id) noexcept;

// The callable behind a limiter (or the object that shares a weak one's
// state), or `obj` itself; borrowed.
PyObject* limited_callable(PyObject* obj) noexcept;

// The calls a limiter made with times=N has left; none for anything else.
std::optional<std::uint64_t> limiter_remaining(PyObject* obj) noexcept;

// The limiters that a listener decorator connected, held by weak references
// so that a disconnected one goes, for the decorator's flush().
class LimiterSet {
    struct Node {
        Ref ref;  // the weak reference
        Node* next = nullptr;
    };

public:
    // A limiter's place in the set: made before its connection, where it may
    // fail, and taken in once connected, where nothing may.
    using Place = std::unique_ptr<Node>;

    LimiterSet() noexcept = default;
    LimiterSet(const LimiterSet&) = delete;
    LimiterSet& operator=(const LimiterSet&) = delete;
    ~LimiterSet();

    // A place for `limiter` (borrowed), by a weak reference. The limiters
    // that have gone are forgotten first once they may be most of the set,
    // so that a decorator that connects and disconnects for ever keeps a
    // set the size of what it has connected.
    Place place_for(PyObject* limiter);
    void take_in(Place place) noexcept;

    // Makes each live limiter's pending call now, on this thread, in the
    // order they were connected; raises the first call's failure, leaving
    // the later ones pending for their timers.
    void flush();

private:
    std::vector<Ref> copy();
    void forget(std::vector<PyObject*> dead) noexcept;

    Mutex lock_;
    Node* head_ = nullptr;
    std::size_t size_ = 0;
    // The size when the dead were last forgotten.
    std::size_t kept_ = 0;
};

extern PyType_Spec limiter_type_def;

}  // namespace tarnwick
