// The removal set of one emission: ids whose entries leave the table before
// the callbacks run. Inline for a few ids; an open-addressing hash table past
// that, so that removing 10^4 one-shots stays linear.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace tarnwick {

class IdSet {
public:
    IdSet() noexcept = default;
    IdSet(const IdSet&) = delete;
    IdSet& operator=(const IdSet&) = delete;
    ~IdSet() { delete[] slots_; }

    bool empty() const noexcept { return size_ == 0; }
    std::size_t size() const noexcept { return size_; }

    // Makes room for `n` distinct ids, so that insert() never allocates.
    void reserve(std::size_t n) {
        if (n <= kInline || n <= max_load()) {
            return;
        }
        std::size_t cap = std::bit_ceil(n * 2);
        auto* fresh = new std::uint64_t[cap];
        std::fill(fresh, fresh + cap, kEmpty);
        std::uint64_t* old = slots_;
        const std::size_t old_cap = cap_;
        slots_ = fresh;
        cap_ = cap;
        has_empty_key_ = false;
        const std::size_t count = size_;
        size_ = 0;
        if (old == nullptr) {
            for (std::size_t i = 0; i < count; ++i) {
                insert_hashed(inline_[i]);
            }
        } else {
            for (std::size_t i = 0; i < old_cap; ++i) {
                if (old[i] != kEmpty) {
                    insert_hashed(old[i]);
                }
            }
            delete[] old;
        }
        // The key equal to kEmpty is tracked apart from the slots.
        if (count != size_) {
            has_empty_key_ = true;
            ++size_;
        }
    }

    // Within the reserved capacity.
    void insert(std::uint64_t id) noexcept {
        if (slots_ == nullptr) {
            for (std::size_t i = 0; i < size_; ++i) {
                if (inline_[i] == id) {
                    return;
                }
            }
            inline_[size_++] = id;
            return;
        }
        if (id == kEmpty) {
            if (!has_empty_key_) {
                has_empty_key_ = true;
                ++size_;
            }
            return;
        }
        insert_hashed(id);
    }

    bool contains(std::uint64_t id) const noexcept {
        if (slots_ == nullptr) {
            for (std::size_t i = 0; i < size_; ++i) {
                if (inline_[i] == id) {
                    return true;
                }
            }
            return false;
        }
        if (id == kEmpty) {
            return has_empty_key_;
        }
        const std::size_t mask = cap_ - 1;
        for (std::size_t i = hash(id) & mask;; i = (i + 1) & mask) {
            if (slots_[i] == id) {
                return true;
            }
            if (slots_[i] == kEmpty) {
                return false;
            }
        }
    }

private:
    static constexpr std::size_t kInline = 8;
    static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};

    std::size_t max_load() const noexcept { return cap_ / 2; }

    static std::size_t hash(std::uint64_t id) noexcept {
        return static_cast<std::size_t>(id * 0x9E3779B97F4A7C15ull >> 17);
    }

    void insert_hashed(std::uint64_t id) noexcept {
        if (id == kEmpty) {
            return;  // counted by the caller
        }
        const std::size_t mask = cap_ - 1;
        for (std::size_t i = hash(id) & mask;; i = (i + 1) & mask) {
            if (slots_[i] == id) {
                return;
            }
            if (slots_[i] == kEmpty) {
                slots_[i] = id;
                ++size_;
                return;
            }
        }
    }

    std::uint64_t inline_[kInline];
    std::uint64_t* slots_ = nullptr;
    std::size_t cap_ = 0;
    std::size_t size_ = 0;
    bool has_empty_key_ = false;
};

}  // namespace tarnwick
