#include "shared/large_memory.h"

#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>

static const size_t HUGE_PAGE = (size_t)2 << 20;

// Below this malloc does as well: the mapping and its faults are few anyway.
static const size_t LARGE = (size_t)4 << 20;

static size_t mapped_size(size_t bytes) { return (bytes + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1); }

void *allocate_large(size_t bytes) {
    if (bytes < LARGE) {
        void *memory = malloc(bytes > 0 ? bytes : 1);
        if (memory == NULL) throw std::bad_alloc();
        return memory;
    }
    if (bytes > SIZE_MAX - 2 * HUGE_PAGE) throw std::bad_alloc();
    // A mapping a huge page longer, trimmed to start on a huge page: the kernel
    // backs only aligned 2 MiB ranges with huge pages.
    const size_t size = mapped_size(bytes), spare = HUGE_PAGE;
    void *mapped =
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
    else
        munmap(memory, mapped_size(bytes));
}
