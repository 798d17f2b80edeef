// Memory for frames and results of hundreds of megabytes: mapped in huge pages
// where the system allows it, so that filling it costs a fault every 2 MiB
// rather than every 4 KiB (a third of the time of a large set went to faults).
#pragma once

#include <stddef.h>

#include <memory>
#include <new>
#include <utility>
#include <vector>

// Throws std::bad_alloc when the memory cannot be had.
void *allocate_large(size_t bytes);
void free_large(void *memory, size_t bytes);
// On: mappings freed are kept (up to 1 GiB) for allocations of their size, as a
// batch of sets of one size makes them. Off: they are given back.
void reuse_large_memory(bool on);
// Unmaps what is kept; whether there was any.
bool give_back_kept(void);

// Elements that are not zeroed when made: they are written right after, and
// zeroing hundreds of megabytes first costs as much as filling them.
template <typename T>
struct uninitialised_allocator {
    using value_type = T;
    uninitialised_allocator() = default;
    template <typename U>
    uninitialised_allocator(const uninitialised_allocator<U> &) {}
    T *allocate(size_t n) {
        if (n > (size_t)-1 / sizeof(T)) throw std::bad_alloc();
        return (T *)allocate_large(n * sizeof(T));
    }
    void deallocate(T *p, size_t n) { free_large(p, n * sizeof(T)); }
    template <typename U>
    void construct(U *p) {
        ::new ((void *)p) U;
    }
    template <typename U, typename... Arguments>
    void construct(U *p, Arguments &&...arguments) {
        ::new ((void *)p) U(std::forward<Arguments>(arguments)...);
    }
    template <typename U>
    bool operator==(const uninitialised_allocator<U> &) const {
        return true;
    }
    template <typename U>
    bool operator!=(const uninitialised_allocator<U> &) const {
        return false;
    }
};

template <typename T>
using large_array = std::vector<T, uninitialised_allocator<T>>;
