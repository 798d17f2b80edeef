// The CUDA engine for the library: the kernel stages on the GPU over arrays of
// doubles, as phaze-cuda runs them. It owns its host and device buffers.
#pragma once

#include <stddef.h>

#include "method/samples.h"

namespace phaze_internal {

// 1 when this build holds the CUDA engine and a CUDA device is present.
int cuda_engine_available(void);

enum cuda_engine_result { CUDA_ENGINE_DONE = 0, CUDA_ENGINE_NO_PHASE, CUDA_ENGINE_FAILED };

// The phase of every pixel into phase. On CUDA_ENGINE_FAILED, why says why.
cuda_engine_result cuda_engine_phase(const sample_frames &frames, double *phase, char *why,
                                     size_t why_size);

}  // namespace phaze_internal
