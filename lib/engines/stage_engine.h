// The stage engine: the four kernels in their fixed order over the runtime layer
// (gpu/), with the host steps between them (reference points, moment sums), as
// phaze-cuda runs them. The driver owns the buffers.
#pragma once

namespace phaze_internal {

struct stage_buffers {
    double *X, *Y, *Z, *phase;      // host: the three frames' samples in, the phase out
    double *dX, *dY, *dZ, *dphase;  // device, each as large as the host arrays
};

// X and Y come back for the moment sums in this many chunks, each summed as it lands.
constexpr int MOMENT_CHUNKS = 8;

enum stage_result { STAGES_DONE = 0, STAGES_DEVICE_FAILED, STAGES_NO_PHASE };

// From the samples in X, Y, Z to the phase in phase. On STAGES_DEVICE_FAILED
// gpu_error_text says why; on STAGES_NO_PHASE the points form no ellipse (the
// writer refuses any phase that is not finite).
stage_result stage_engine_phase(const stage_buffers &b, int SIZE);

}  // namespace phaze_internal
