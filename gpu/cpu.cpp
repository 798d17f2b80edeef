// Runtime layer of the host flavour: device 0 is the host processor, device
// memory is host memory and kernels run as OpenMP loops (device/kernel_cpu.cpp).
#include "gpu/gpu.h"

#include <omp.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

static const char *last_error = "no error";

int gpu_device_count(void) { return 1; }

int gpu_device_properties(int index, gpu_device *out) {
    if (index != 0) {
        last_error = "invalid device ordinal";
        return 1;
    }
    out->major = 0;
    out->minor = 0;
    out->host_threads = omp_get_max_threads();
    return 0;
}

int gpu_memory_is_host_memory(void) { return 1; }

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

// A large array has its pages made at once, by all threads: faulting a gigabyte
// in one 4 KiB page at a time costs more than the kernels' whole work. (Huge
// pages would be faster still, but their compaction can stall a run for seconds.)
static void *allocate(size_t bytes) {
    const size_t page = 4096, chunk = (size_t)8 << 20;
    void *memory = NULL;
    if (bytes < chunk) {
        memory = malloc(bytes);
    } else if (posix_memalign(&memory, page, bytes) == 0) {
        const long long chunks = (long long)((bytes + chunk - 1) / chunk);
#pragma omp parallel for schedule(static)
        for (long long k = 0; k < chunks; k++) {
            const size_t start = (size_t)k * chunk;
            const size_t length =
                bytes - start < chunk ? (bytes - start + page - 1) / page * page : chunk;
            // Older kernels lack it; the pages then come on first touch.
            madvise((char *)memory + start, length, MADV_POPULATE_WRITE);
        }
    } else {
        memory = NULL;
    }
    if (memory == NULL) last_error = "out of memory";
    return memory;
}

int gpu_alloc(double **device_array, size_t bytes) {
    *device_array = (double *)allocate(bytes);
    return *device_array == NULL;
}

void gpu_free(void *device_array) { free(device_array); }

// Large copies are split over the threads: one core alone does not reach the
// memory bandwidth.
static void parallel_copy(void *dst, const void *src, size_t bytes) {
    const size_t chunk = (size_t)1 << 22;
    const long long chunks = (long long)((bytes + chunk - 1) / chunk);
#pragma omp parallel for schedule(static) if (chunks > 1)
    for (long long k = 0; k < chunks; k++) {
        const size_t start = (size_t)k * chunk;
        const size_t length = bytes - start < chunk ? bytes - start : chunk;
        memcpy((char *)dst + start, (const char *)src + start, length);
    }
}

int gpu_upload(double *device_dst, const double *host_src, size_t bytes) {
    parallel_copy(device_dst, host_src, bytes);
    return 0;
}

int gpu_download(void *host_dst, const void *device_src, size_t bytes) {
    parallel_copy(host_dst, device_src, bytes);
    return 0;
}

int gpu_download_async(void *host_dst, const void *device_src, size_t bytes, int marker) {
    (void)marker;
    parallel_copy(host_dst, device_src, bytes);
    return 0;
}

int gpu_wait_marker(int marker) {
    (void)marker;
    return 0;
}

int gpu_synchronize(void) { return 0; }
void gpu_reset(void) {}

int gpu_host_alloc(void **host_array, size_t bytes) {
    *host_array = allocate(bytes);
    return *host_array == NULL;
}

void gpu_host_free(void *host_array) { free(host_array); }

int gpu_admit_launch(unsigned blocks, unsigned threads) {
    (void)blocks;
    (void)threads;
    return 0;
}

int gpu_launch_result(void) { return 0; }

const char *gpu_error_text(void) { return last_error; }
