#include "model/given_steps.h"

#include <math.h>

#include "model/sampled_fit.h"

namespace phaze_internal {

static const double TWO_PI = 6.283185307179586, PI = 3.141592653589793;

static double wrap(double angle) { return angle - TWO_PI * floor((angle + PI) / TWO_PI); }

int given_step_numbers(const double *steps, int count, plane_numbers *m) {
    m->count = count;
    for (int k = 0; k < count; k++)
        m->theta[k] = steps[k], m->cos_theta[k] = cos(steps[k]), m->sin_theta[k] = sin(steps[k]);
    return least_squares_map(m);
}

// Whether the scene shows fringes enough for the frames to show their steps:
// two or more across it, by the phase made with the given steps (a phase of
// less than a turn does not fix its ellipse, and wrong steps bend the phase
// but do not change how often it goes round).
static int fringes_enough(const sample_frames &f, const quality_limits &limits,
                          const plane_numbers &given) {
    const int SIDE = 128;
    double along_x = 0, along_y = 0, nx = 0, ny = 0;
    fitted_pixel p, right, below;
    for (int j = 0; j < SIDE; j++)
        for (int i = 0; i < SIDE; i++) {
            const int x = (int)((long long)i * (f.width - 1) / SIDE),
                      y = (int)((long long)j * (f.height - 1) / SIDE);
            if (fit_pixel(f, given, limits, x, y, &p)) continue;
            const double phase = atan2(p.Y, p.X);
            if (!fit_pixel(f, given, limits, x + 1, y, &right))
                along_x += fabs(wrap(atan2(right.Y, right.X) - phase)), nx++;
            if (!fit_pixel(f, given, limits, x, y + 1, &below))
                along_y += fabs(wrap(atan2(below.Y, below.X) - phase)), ny++;
        }
    const double across = hypot(nx > 0 ? along_x / nx * f.width : 0,
                                ny > 0 ? along_y / ny * f.height : 0) /
                           TWO_PI;
    return nx + ny >= 100 && across >= 2;
}

void measure_given_steps(const sample_frames &f, const quality_limits &limits,
                         const plane_numbers &given, phaze_report *report) {
    const int n = f.count;
    for (int k = 0; k < n; k++) report->measured_steps[k] = NAN;
    plane_numbers own;
    if (!fringes_enough(f, limits, given) || find_plane_steps(f, limits, &own)) return;
    // The measured steps' sign and constant are the frames' own: take the
    // sign and the constant that bring them closest to the given ones.
    // (The report gives them from frame 1's, as it gives the steps.)
    double best = INFINITY;
    for (int sign = -1; sign <= 1; sign += 2) {
        double c = 0, s = 0;
        for (int k = 0; k < n; k++)
            c += cos(given.theta[k] - sign * own.theta[k]),
                s += sin(given.theta[k] - sign * own.theta[k]);
        const double constant = atan2(s, c);
        double worst = 0;
        for (int k = 0; k < n; k++)
            worst = fmax(worst, fabs(wrap(sign * own.theta[k] + constant - given.theta[k])));
        if (!(worst < best)) continue;
        best = worst;
        for (int k = 0; k < n; k++) {
            double step = sign * (own.theta[k] - own.theta[0]);
            step -= TWO_PI * floor(step / TWO_PI);
            report->measured_steps[k] = step < TWO_PI ? step : 0;
        }
    }
    if (best > MAX_STEP_DIFFERENCE) report->warnings |= PHAZE_WARN_STEPS_DIFFER;
}

}  // namespace phaze_internal
