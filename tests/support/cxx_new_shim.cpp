// An operator new that fails on request, preloaded into the child
// interpreter of test_faults.py's C++ allocation-failure test
// (cxx_alloc_failure.py): tarnwick_shim_fail(from, to) makes allocations
// number from..to-1 throw std::bad_alloc (to 0: every one from `from` on);
// tarnwick_shim_fail(-1, 0) stops failing.
#include <atomic>
#include <cstdlib>
#include <new>

static std::atomic<long> calls{0};
static std::atomic<long> fail_from{-1};
static std::atomic<long> fail_to{0};

extern "C" void tarnwick_shim_fail(long from, long to) {
    calls = 0;
    fail_to = to;
    fail_from = from;
}

static void* allocate(std::size_t n) {
    long k = calls.fetch_add(1);
    long from = fail_from.load();
    if (from >= 0 && k >= from && (fail_to.load() == 0 || k < fail_to.load())) {
        throw std::bad_alloc();
    }
    void* p = std::malloc(n ? n : 1);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}

void* operator new(std::size_t n) { return allocate(n); }
void* operator new[](std::size_t n) { return allocate(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    try { return allocate(n); } catch (...) { return nullptr; }
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    try { return allocate(n); } catch (...) { return nullptr; }
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
