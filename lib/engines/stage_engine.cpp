#include "engines/stage_engine.h"

#include "math/launch.h"
#include "method/moments.h"
#include "method/reference_points.h"
#include "gpu/gpu.h"

namespace phaze_internal {

// Elements 0 to 4 come back between kernels; 0, 1 and 2 are the reference points.
static const size_t REFERENCE_BYTES = 5 * sizeof(double);

static int fetch_reference_points(const stage_buffers &b) {
    return gpu_download(b.X, b.dX, REFERENCE_BYTES) || gpu_download(b.Y, b.dY, REFERENCE_BYTES) ||
           gpu_download(b.Z, b.dZ, REFERENCE_BYTES);
}

// X and Y come back in chunks, and each chunk's moments are summed while the
// next ones are still on their way: the sums then cost the device stage little.
static int download_and_sum_moments(const stage_buffers &b, int SIZE, moment_sums *sums) {
    int bounds[MOMENT_CHUNKS + 1];
    for (int c = 0; c <= MOMENT_CHUNKS; c++) bounds[c] = (int)((long long)SIZE * c / MOMENT_CHUNKS);
    for (int c = 0; c < MOMENT_CHUNKS; c++) {
        const size_t bytes = sizeof(double) * (size_t)(bounds[c + 1] - bounds[c]);
        if (gpu_download_async(b.X + bounds[c], b.dX + bounds[c], bytes, c) ||
            gpu_download_async(b.Y + bounds[c], b.dY + bounds[c], bytes, c))
            return 1;
    }
    *sums = moment_sums{0, 0, 0};
    for (int c = 0; c < MOMENT_CHUNKS; c++) {
        if (gpu_wait_marker(c)) return 1;
        add_moments(b.X, b.Y, bounds[c], bounds[c + 1], sums);
    }
    return gpu_synchronize();
}

static int level_plane(const stage_buffers &b, int SIZE, const reference_points &p) {
    return launch_rotate_cuda(b.dX, b.dY, b.dZ, SIZE, p.x[0], p.x[1], p.x[2], p.y[0], p.y[1],
                              p.y[2], p.z[0], p.z[1], p.z[2]);
}

stage_result stage_engine_phase(const stage_buffers &b, int SIZE) {
    const size_t bytes = sizeof(double) * (size_t)SIZE;
    if (gpu_upload(b.dX, b.X, bytes) || gpu_upload(b.dY, b.Y, bytes) ||
        gpu_upload(b.dZ, b.Z, bytes))
        return STAGES_DEVICE_FAILED;

    if (launch_find_circle_f(b.dX, b.dY, b.dZ, SIZE) || gpu_synchronize() ||
        fetch_reference_points(b))
        return STAGES_DEVICE_FAILED;

    moment_sums m;
    if (level_plane(b, SIZE, first_rotation_points(first_pixels(b.X, b.Y, b.Z))) ||
        gpu_synchronize() || download_and_sum_moments(b, SIZE, &m))
        return STAGES_DEVICE_FAILED;
    if (!moments_form_ellipse(m)) return STAGES_NO_PHASE;

    if (launch_find_circle_s(b.dX, b.dY, b.dZ, m.SYY, m.SXY, m.SXY, m.SXX, SIZE) ||
        gpu_synchronize() || fetch_reference_points(b))
        return STAGES_DEVICE_FAILED;

    const circle_projection projection = projection_from_moments(m.SYY, m.SXY, m.SXX);
    if (level_plane(b, SIZE, second_rotation_points(first_pixels(b.X, b.Y, b.Z), projection)) ||
        launch_phaze_cuda(b.dX, b.dY, b.dphase, SIZE) || gpu_download(b.phase, b.dphase, bytes))
        return STAGES_DEVICE_FAILED;
    return STAGES_DONE;
}

}  // namespace phaze_internal
