#include "shared/set_points.h"

#include "shared/fringe_background.h"
#include "shared/triangulation.h"

namespace phaze_internal {

void make_set_points(const calibration &rig, const frame_set &finest, double finest_period,
                     set_outputs *out) {
    const int width = finest.view.width, height = finest.view.height;
    const size_t pixels = out->pixels;
    large_array<double> column(pixels);
    const double columns_a_radian = finest_period / (2 * 3.14159265358979323846);
#pragma omp parallel for schedule(static)
    for (size_t i = 0; i < pixels; i++) column[i] = out->phase[i] * columns_a_radian;
    out->xyz.resize(3 * pixels);
    out->points =
        triangulate(rig, width, height, column.data(), nullptr, out->mask.data(), out->xyz.data());
    const phaze_report &r = out->report;
    double offsets[PHAZE_MAX_FRAMES];
    for (int k = 0; k < r.frame_count; k++) offsets[k] = r.phase_offset + r.steps[k];
    out->gray.resize(pixels);
    background_gray(finest.view, out->phase.data(), out->modulation.data(), offsets,
                    finest.full_scale, out->gray.data());
}

}  // namespace phaze_internal
