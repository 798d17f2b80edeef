// The run's stages on the stage engine: host and device arrays of doubles, the
// kernels over the runtime layer, copies between them. phaze-cuda runs so.
#include <stdio.h>

#include "engines/no_phase.h"
#include "engines/stage_engine.h"
#include "gpu/gpu.h"
#include "fixed/read_frames.h"
#include "fixed/run.h"
#include "fixed/write_results.h"

using namespace phaze_internal;

static int W, H, SIZE;
static stage_buffers b;

// X, Y, Z and the phase as doubles, a little for the writer's rounds, and the
// device arrays too where device memory is host memory.
double run_host_bytes_per_pixel(void) {
    return 4 * 8 + 2 + (gpu_memory_is_host_memory() ? 4 * 8 : 0);
}

int run_allocate(int width, int height) {
    W = width, H = height, SIZE = W * H;
    const size_t bytes = sizeof(double) * (size_t)SIZE;
    if (gpu_host_alloc((void **)&b.X, bytes) || gpu_host_alloc((void **)&b.Y, bytes) ||
        gpu_host_alloc((void **)&b.Z, bytes))
        return 1;
    if (gpu_alloc(&b.dX, bytes) || gpu_alloc(&b.dY, bytes) || gpu_alloc(&b.dZ, bytes)) return 2;
    if (gpu_host_alloc((void **)&b.phase, bytes)) return 1;
    return gpu_alloc(&b.dphase, bytes) ? 2 : 0;
}

int run_read_frames(void) { return read_frames(b.X, b.Y, b.Z, W, H); }

int run_compute(void) {
    switch (stage_engine_phase(b, SIZE)) {
        case STAGES_DONE: return 0;
        case STAGES_DEVICE_FAILED: printf("\nCUDA device error: %s!\n", gpu_error_text()); return 1;
        case STAGES_NO_PHASE: printf("\n" NO_PHASE_MESSAGE "!\n"); return 1;
    }
    return 1;
}

int run_write_results(void) { return write_results(b.phase, W, H); }

void run_release(void) {
    gpu_host_free(b.X);
    gpu_host_free(b.Y);
    gpu_host_free(b.Z);
    gpu_host_free(b.phase);
    gpu_free(b.dphase);
    gpu_free(b.dX);
    gpu_free(b.dY);
    gpu_free(b.dZ);
}
