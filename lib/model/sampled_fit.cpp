#include "model/sampled_fit.h"

#include <math.h>

namespace phaze_internal {

int steps_of_report(const phaze_report &report, plane_numbers *m) {
    m->count = report.frame_count;
    for (int k = 0; k < m->count; k++) {
        const double theta = report.phase_offset + report.steps[k];
        if (!isfinite(theta)) return 1;
        m->theta[k] = theta, m->cos_theta[k] = cos(theta), m->sin_theta[k] = sin(theta);
    }
    return least_squares_map(m);
}

int fit_pixel(const sample_frames &f, const plane_numbers &m, const quality_limits &limits, int x,
              int y, fitted_pixel *p) {
    double block[MAX_FRAMES];
    load_block(f, (long long)y * f.width + x, 1, block, 1);
    double s[3] = {0, 0, 0};
    for (int k = 0; k < f.count; k++) {
        const double I = block[k];
        if (!isfinite(I) || I >= limits.saturation) return 1;
        p->I[k] = I;
        for (int r = 0; r < 3; r++) s[r] += m.solve[r][k] * I;
    }
    p->x = x, p->y = y, p->A = s[0], p->X = s[1], p->Y = s[2];
    return !(hypot(p->X, p->Y) >= limits.min_modulation);
}

}  // namespace phaze_internal
