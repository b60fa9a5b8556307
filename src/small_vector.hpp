// A vector with inline capacity for the common small case, spilling to the
// heap past it.
//
// Elements are relocated bitwise (memmove) when the vector grows, inserts or
// removes, so T must be trivially relocatable: moving it and destroying the
// source must be the same as copying its bytes. Ref, CallbackEntry and plain
// integers are. The vector never shrinks its heap buffer and never goes back
// to inline storage (take_all excepted, which hands the whole buffer over).
//
// Growth allocates with operator new and throws std::bad_alloc on failure,
// leaving the vector unchanged.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace tarnwick {

template <class T, std::size_t N>
class SmallVector {
    static_assert(N > 0, "use a positive inline capacity");

public:
    SmallVector() noexcept = default;
    SmallVector(const SmallVector&) = delete;
    SmallVector& operator=(const SmallVector&) = delete;
    ~SmallVector() {
        clear();
        free_heap();
    }

    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return cap_; }
    bool empty() const noexcept { return size_ == 0; }
    bool is_inline() const noexcept { return data_ == inline_data(); }

    T* begin() noexcept { return data_; }
    T* end() noexcept { return data_ + size_; }
    const T* begin() const noexcept { return data_; }
    const T* end() const noexcept { return data_ + size_; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    T& back() noexcept { return data_[size_ - 1]; }

    // Ensures room for `n` elements in total.
    void reserve(std::size_t n) {
        if (n > cap_) {
            reallocate(n);
        }
    }

    // Ensures room for one more element, growing to the next power of two
    // above the current length.
    void reserve_one_more() {
        if (size_ == cap_) {
            reallocate(std::bit_ceil(size_ + 1));
        }
    }

    template <class... A>
    T& emplace_back(A&&... a) {
        reserve_one_more();
        return push_unchecked(std::forward<A>(a)...);
    }

    // Appends without checking capacity; reserve first.
    template <class... A>
    T& push_unchecked(A&&... a) noexcept {
        T* slot = ::new (static_cast<void*>(data_ + size_)) T(std::forward<A>(a)...);
        ++size_;
        return *slot;
    }

    // Inserts at `index` with one block move; reserve_one_more() first.
    void insert_unchecked(std::size_t index, T&& value) noexcept {
        T* at = data_ + index;
        std::memmove(static_cast<void*>(at + 1), static_cast<const void*>(at),
                     (size_ - index) * sizeof(T));
        ::new (static_cast<void*>(at)) T(std::move(value));
        ++size_;
    }

    // Moves the element at `index` out and closes the gap with one block move.
    T take_at(std::size_t index) noexcept {
        T* at = data_ + index;
        T out(std::move(*at));
        at->~T();
        std::memmove(static_cast<void*>(at), static_cast<const void*>(at + 1),
                     (size_ - index - 1) * sizeof(T));
        --size_;
        return out;
    }

    // Stable filter: keeps the elements for which keep() is true and hands
    // each other one to drop(T&&), in order. Neither callback may touch this
    // vector.
    template <class Keep, class Drop>
    void filter(Keep&& keep, Drop&& drop) noexcept {
        std::size_t out = 0;
        for (std::size_t i = 0; i < size_; ++i) {
            T* e = data_ + i;
            if (keep(static_cast<const T&>(*e))) {
                if (out != i) {
                    std::memcpy(static_cast<void*>(data_ + out), static_cast<const void*>(e),
                                sizeof(T));
                }
                ++out;
            } else {
                drop(std::move(*e));
                e->~T();
            }
        }
        size_ = out;
    }

    // Moves every element into `dest` (which must be empty), leaving this
    // vector empty and inline. Allocation-free: a heap buffer changes hands
    // and inline elements are relocated into dest's inline storage (dest's
    // inline capacity must be at least ours).
    template <std::size_t M>
    void take_all(SmallVector<T, M>& dest) noexcept {
        static_assert(M >= N);
        dest.clear();
        dest.free_heap();
        if (is_inline()) {
            std::memcpy(static_cast<void*>(dest.data_), static_cast<const void*>(data_),
                        size_ * sizeof(T));
        } else {
            dest.data_ = data_;
            dest.cap_ = cap_;
            data_ = inline_data();
            cap_ = N;
        }
        dest.size_ = size_;
        size_ = 0;
    }

    // Destroys the elements from `n` on, keeping the first `n`.
    void truncate(std::size_t n) noexcept {
        while (size_ > n) {
            --size_;
            data_[size_].~T();
        }
    }

    // Destroys the elements first to last.
    void clear() noexcept {
        for (std::size_t i = 0; i < size_; ++i) {
            data_[i].~T();
        }
        size_ = 0;
    }

    // Destroys the elements last to first.
    void clear_reverse() noexcept { truncate(0); }

private:
    template <class U, std::size_t M>
    friend class SmallVector;

    T* inline_data() noexcept { return reinterpret_cast<T*>(inline_); }
    const T* inline_data() const noexcept { return reinterpret_cast<const T*>(inline_); }

    void free_heap() noexcept {
        if (!is_inline()) {
            ::operator delete(static_cast<void*>(data_));
            data_ = inline_data();
            cap_ = N;
        }
    }

    void reallocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) {
            throw std::bad_alloc();
        }
        T* fresh = static_cast<T*>(::operator new(n * sizeof(T)));
        std::memcpy(static_cast<void*>(fresh), static_cast<const void*>(data_), size_ * sizeof(T));
        if (!is_inline()) {
            ::operator delete(static_cast<void*>(data_));
        }
        data_ = fresh;
        cap_ = n;
    }

    T* data_ = inline_data();
    std::size_t size_ = 0;
    std::size_t cap_ = N;
    alignas(T) unsigned char inline_[N * sizeof(T)];
};

}  // namespace tarnwick
