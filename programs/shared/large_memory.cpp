#include "shared/large_memory.h"

#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/resource.h>

#include <mutex>

static const size_t HUGE_PAGE = (size_t)2 << 20;

// Below this malloc does as well: the mapping and its faults are few anyway.
static const size_t LARGE = (size_t)4 << 20;

static size_t mapped_size(size_t bytes) { return (bytes + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1); }

// Mappings freed while reuse is on, kept for allocations of their size: the
// sets of a batch are mostly of one size, and a mapping used again needs no
// faults and no zeroing by the kernel (a tenth of a batch's time).
static const int KEPT = 12;
static const size_t KEPT_BYTES = (size_t)1 << 30;
static struct {
    std::mutex lock;
    bool on = false;
    void *memory[KEPT] = {};
    size_t size[KEPT] = {};
    size_t bytes = 0;
} kept;

// Under a limit of the address space or the data, memory kept would count
// against it: reuse stays off there.
static bool memory_limited(void) {
    struct rlimit limit;
    return (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) ||
           (getrlimit(RLIMIT_DATA, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY);
}

bool give_back_kept(void) {
    const std::lock_guard<std::mutex> hold(kept.lock);
    const bool any = kept.bytes > 0;
    for (int k = 0; k < KEPT; k++)
        if (kept.memory[k] != NULL) munmap(kept.memory[k], kept.size[k]), kept.memory[k] = NULL;
    kept.bytes = 0;
    return any;
}

void reuse_large_memory(bool on) {
    if (!on) give_back_kept();
    const std::lock_guard<std::mutex> hold(kept.lock);
    kept.on = on && !memory_limited();
}

static void *kept_mapping(size_t size) {
    const std::lock_guard<std::mutex> hold(kept.lock);
    for (int k = 0; k < KEPT; k++)
        if (kept.memory[k] != NULL && kept.size[k] == size) {
            void *memory = kept.memory[k];
            kept.memory[k] = NULL, kept.bytes -= size;
            return memory;
        }
    return NULL;
}

static bool keep_mapping(void *memory, size_t size) {
    const std::lock_guard<std::mutex> hold(kept.lock);
    if (!kept.on || kept.bytes + size > KEPT_BYTES) return false;
    for (int k = 0; k < KEPT; k++)
        if (kept.memory[k] == NULL) {
            kept.memory[k] = memory, kept.size[k] = size, kept.bytes += size;
            return true;
        }
    return false;
}

void *allocate_large(size_t bytes) {
    if (bytes < LARGE) {
        void *memory = malloc(bytes > 0 ? bytes : 1);
        if (memory == NULL) throw std::bad_alloc();
        return memory;
    }
    if (bytes > SIZE_MAX - 2 * HUGE_PAGE) throw std::bad_alloc();
    const size_t size = mapped_size(bytes), spare = HUGE_PAGE;
    if (void *memory = kept_mapping(size)) return memory;
    // A mapping a huge page longer, trimmed to start on a huge page: the kernel
    // backs only aligned 2 MiB ranges with huge pages.
    void *mapped =
        mmap(NULL, size + spare, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED && give_back_kept())  // what is kept goes first
        mapped =
            mmap(NULL, size + spare, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) throw std::bad_alloc();
    const uintptr_t start = (uintptr_t)mapped,
                    aligned = (start + HUGE_PAGE - 1) & ~(uintptr_t)(HUGE_PAGE - 1);
    if (aligned > start) munmap(mapped, aligned - start);
    if (aligned + size < start + size + spare)
        munmap((void *)(aligned + size), start + size + spare - (aligned + size));
    madvise((void *)aligned, size, MADV_HUGEPAGE);  // advice only: a refusal changes nothing
    return (void *)aligned;
}

void free_large(void *memory, size_t bytes) {
    if (memory == NULL) return;
    if (bytes < LARGE)
        free(memory);
    else if (!keep_mapping(memory, mapped_size(bytes)))
        munmap(memory, mapped_size(bytes));
}
