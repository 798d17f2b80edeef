#include "model/local_shape.h"

#include <math.h>

#include <vector>

#include "model/patch_grid.h"
#include "model/sampled_fit.h"

namespace phaze_internal {

static const double TWO_PI = 6.283185307179586, PI = 3.141592653589793;

// Patches span about this many fringes; those under MIN_FRINGES are left out.
static const double PATCH_FRINGES = 4, MIN_FRINGES = 2;
static const int MAX_PATCHES_A_SIDE = 16, MIN_PATCHES = 8, SAMPLES = 1 << 17;

static double wrap(double angle) { return angle - TWO_PI * floor((angle + PI) / TWO_PI); }

namespace {

struct patch_sums {
    double samples = 0, valid = 0, c = 0, s = 0, b2 = 0;  // B^2 e^(2i phase) as c + i s
    double along_x = 0, steps_x = 0, along_y = 0, steps_y = 0;  // |phase differences|
};

}  // namespace

// The patch's sums over the pixels (x, y) of its grid, with the differences of
// each to its right and lower neighbours.
static patch_sums sum_patch(const sample_frames &f, const plane_numbers &m,
                            const quality_limits &limits, int x0, int x1, int y0, int y1,
                            int stride) {
    patch_sums t;
    fitted_pixel p, right, below;
    for (int y = y0, row = 0; y < y1; y += stride, row++)
        for (int x = x0, column = 0; x < x1; x += stride, column++) {
            t.samples++;
            if (fit_pixel(f, m, limits, x, y, &p)) continue;
            t.valid++;
            t.c += p.X * p.X - p.Y * p.Y, t.s += 2 * p.X * p.Y, t.b2 += p.X * p.X + p.Y * p.Y;
            // The fringes' count needs fewer samples than the moments.
            if (row % 2 || column % 2) continue;
            const double phase = atan2(p.Y, p.X);
            if (x + 1 < f.width && !fit_pixel(f, m, limits, x + 1, y, &right))
                t.along_x += fabs(wrap(atan2(right.Y, right.X) - phase)), t.steps_x++;
            if (y + 1 < f.height && !fit_pixel(f, m, limits, x, y + 1, &below))
                t.along_y += fabs(wrap(atan2(below.Y, below.X) - phase)), t.steps_y++;
        }
    return t;
}

// The phase's mean change a pixel, along x and y, over a coarse grid.
static void fringe_density(const sample_frames &f, const plane_numbers &m,
                           const quality_limits &limits, double *gx, double *gy) {
    const int stride = (int)fmax(1, sqrt((double)f.width * f.height / 8192));
    const patch_sums t = sum_patch(f, m, limits, 0, f.width, 0, f.height, stride);
    *gx = t.steps_x > 0 ? t.along_x / t.steps_x : 0;
    *gy = t.steps_y > 0 ? t.along_y / t.steps_y : 0;
}

double shape_variation(const sample_frames &f, const phaze_report &report,
                       const quality_limits &limits) {
    plane_numbers m;
    if (steps_of_report(report, &m)) return 0;
    double gx, gy;
    fringe_density(f, m, limits, &gx, &gy);
    const double density = hypot(gx, gy);
    if (!(density > 0)) return 0;
    const double side = PATCH_FRINGES * TWO_PI / density;
    const int across = (int)fmin(MAX_PATCHES_A_SIDE, floor(f.width / side)),
              down = (int)fmin(MAX_PATCHES_A_SIDE, floor(f.height / side));
    if (across * down < MIN_PATCHES) return 0;
    const int patches = across * down;
    std::vector<patch_sums> sums(patches);
#pragma omp parallel for schedule(dynamic)
    for (int j = 0; j < patches; j++) {
        const patch_span p = patch_of(j, across, down, f.width, f.height);
        const int stride =
            (int)fmax(1, floor(sqrt((double)(p.x1 - p.x0) * (p.y1 - p.y0) * patches / SAMPLES)));
        sums[j] = sum_patch(f, m, limits, p.x0, p.x1, p.y0, p.y1, stride);
    }
    // Each patch's anisotropy as a vector; what all share is the scene's one
    // ellipse, not a change from place to place.
    std::vector<double> ax, ay, weight;
    for (int j = 0; j < patches; j++) {
        const patch_sums &t = sums[j];
        if (t.valid < 64 || t.valid < 0.5 * t.samples || !(t.b2 > 0)) continue;
        const double width = (double)f.width / across, height = (double)f.height / down;
        const double fringes =
            hypot(t.steps_x > 0 ? t.along_x / t.steps_x * width : 0,
                  t.steps_y > 0 ? t.along_y / t.steps_y * height : 0) /
            TWO_PI;
        if (!(fringes >= MIN_FRINGES)) continue;
        ax.push_back(t.c / t.b2), ay.push_back(t.s / t.b2), weight.push_back(t.valid);
    }
    if (weight.size() < (size_t)MIN_PATCHES) return 0;
    double mx = 0, my = 0, weights = 0;
    for (size_t j = 0; j < weight.size(); j++)
        mx += weight[j] * ax[j], my += weight[j] * ay[j], weights += weight[j];
    mx /= weights, my /= weights;
    double spread = 0;
    for (size_t j = 0; j < weight.size(); j++)
        spread += weight[j] * ((ax[j] - mx) * (ax[j] - mx) + (ay[j] - my) * (ay[j] - my));
    return sqrt(spread / weights);
}

}  // namespace phaze_internal
