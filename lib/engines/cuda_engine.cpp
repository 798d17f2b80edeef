#include "engines/cuda_engine.h"

#include <stdio.h>

#include <vector>

#include "engines/stage_engine.h"
#include "gpu/gpu.h"

namespace phaze_internal {

int cuda_engine_available(void) { return gpu_device_count() > 0; }

cuda_engine_result cuda_engine_phase(const sample_frames &f, double *phase, char *why,
                                     size_t why_size) {
    const long long pixels = (long long)f.width * f.height;
    if (pixels > 0x7fffffffLL) {
        snprintf(why, why_size, "the CUDA engine takes at most %d pixels", 0x7fffffff);
        return CUDA_ENGINE_FAILED;
    }
    const int SIZE = (int)pixels;
    const size_t bytes = sizeof(double) * (size_t)SIZE;
    std::vector<double> host[3];
    for (auto &h : host) h.resize((size_t)SIZE);
#pragma omp parallel for schedule(static)
    for (int y = 0; y < f.height; y++)
        visit_pixels(f, (long long)y * f.width, f.width,
                     [&](long long k, double a, double b, double c) {
                         const size_t i = (size_t)y * f.width + k;
                         host[0][i] = a, host[1][i] = b, host[2][i] = c;
                     });
    stage_buffers b = {host[0].data(), host[1].data(), host[2].data(), phase,
                       NULL,           NULL,           NULL,           NULL};
    stage_result result = STAGES_DEVICE_FAILED;
    if (gpu_alloc(&b.dX, bytes) == 0 && gpu_alloc(&b.dY, bytes) == 0 &&
        gpu_alloc(&b.dZ, bytes) == 0 && gpu_alloc(&b.dphase, bytes) == 0)
        result = stage_engine_phase(b, SIZE);
    snprintf(why, why_size, "%s", gpu_error_text());
    for (double *d : {b.dX, b.dY, b.dZ, b.dphase})
        if (d != NULL) gpu_free(d);
    return result == STAGES_DONE       ? CUDA_ENGINE_DONE
           : result == STAGES_NO_PHASE ? CUDA_ENGINE_NO_PHASE
                                       : CUDA_ENGINE_FAILED;
}

}  // namespace phaze_internal
