#include "engines/plane_engine.h"

#include <math.h>
#include <string.h>

#include <vector>

#include "math/solve3.h"
#include "method/symmetric_eigen.h"

namespace phaze_internal {

static const double TWO_PI = 6.283185307179586;

// Pixels of the sample the steps are found from: runs of SAMPLE_RUN pixels
// spread over the frame. A few tens of thousands fix N steps far below the
// noise of any one pixel.
static const long long SAMPLE_RUN = 256, SAMPLE_PIXELS = 1 << 15;

static int usable(const double *I, int n, const quality_limits &limits) {
    double low = I[0], high = I[0];
    for (int k = 0; k < n; k++) {
        if (!isfinite(I[k]) || I[k] >= limits.saturation) return 0;
        low = fmin(low, I[k]), high = fmax(high, I[k]);
    }
    return high - low >= limits.min_modulation;
}

// The usable pixels of the sample, N samples each, one pixel after another.
static std::vector<double> sample_pixels(const sample_frames &f, const quality_limits &limits) {
    const int n = f.count;
    const long long pixels = (long long)f.width * f.height,
                    runs = (pixels + SAMPLE_RUN - 1) / SAMPLE_RUN,
                    wanted = (SAMPLE_PIXELS + SAMPLE_RUN - 1) / SAMPLE_RUN,
                    stride = runs > wanted ? runs / wanted : 1;
    std::vector<double> samples, block((size_t)n * SAMPLE_RUN);
    for (long long r = 0; r < runs; r += stride) {
        const long long first = r * SAMPLE_RUN;
        const int count = (int)(pixels - first < SAMPLE_RUN ? pixels - first : SAMPLE_RUN);
        load_block(f, first, count, block.data(), SAMPLE_RUN);
        for (int j = 0; j < count; j++) {
            double I[MAX_FRAMES] = {};
            for (int k = 0; k < n; k++) I[k] = block[(size_t)k * SAMPLE_RUN + j];
            if (usable(I, n, limits)) samples.insert(samples.end(), I, I + n);
        }
    }
    return samples;
}

int least_squares_map(plane_numbers *m) {
    const int n = m->count;
    // Normal equations of I_k = A + X cos theta_k - Y sin theta_k.
    double h[3][3] = {}, rows[MAX_FRAMES][3];
    for (int k = 0; k < n; k++) {
        rows[k][0] = 1, rows[k][1] = m->cos_theta[k], rows[k][2] = -m->sin_theta[k];
        for (int r = 0; r < 3; r++)
            for (int c = 0; c < 3; c++) h[r][c] += rows[k][r] * rows[k][c];
    }
    const double det = h[0][0] * (h[1][1] * h[2][2] - h[1][2] * h[2][1]) -
                       h[0][1] * (h[1][0] * h[2][2] - h[1][2] * h[2][0]) +
                       h[0][2] * (h[1][0] * h[2][1] - h[1][1] * h[2][0]);
    if (!(fabs(det) > 1e-12)) return 1;
    double inverse[3][3];
    for (int r = 0; r < 3; r++)
        for (int c = 0; c < 3; c++) {
            const int r1 = (c + 1) % 3, r2 = (c + 2) % 3, c1 = (r + 1) % 3, c2 = (r + 2) % 3;
            inverse[r][c] = (h[r1][c1] * h[r2][c2] - h[r1][c2] * h[r2][c1]) / det;
        }
    for (int r = 0; r < 3; r++)
        for (int k = 0; k < n; k++)
            m->solve[r][k] = inverse[r][0] * rows[k][0] + inverse[r][1] * rows[k][1] +
                             inverse[r][2] * rows[k][2];
    return 0;
}

static void set_steps(plane_numbers *m, const double *theta) {
    for (int k = 0; k < m->count; k++) {
        double t = fmod(theta[k] - theta[0], TWO_PI);
        if (t < 0) t += TWO_PI;
        m->theta[k] = k == 0 ? 0 : t;
        m->cos_theta[k] = cos(m->theta[k]), m->sin_theta[k] = sin(m->theta[k]);
    }
}

// The first phases: each point in the plane of the two dominant directions,
// scaled so that the ellipse becomes a circle. X and Y per pixel.
static int plane_phases(const std::vector<double> &samples, int n, std::vector<double> *xy) {
    const size_t pixels = samples.size() / n;
    std::vector<double> moments((size_t)n * n, 0.0), values(n), vectors((size_t)n * n);
    for (size_t i = 0; i < pixels; i++) {
        const double *I = &samples[i * n];
        double mean = 0, d[MAX_FRAMES];
        for (int k = 0; k < n; k++) mean += I[k];
        mean /= n;
        for (int k = 0; k < n; k++) d[k] = I[k] - mean;
        for (int r = 0; r < n; r++)
            for (int c = r; c < n; c++) moments[(size_t)r * n + c] += d[r] * d[c];
    }
    for (int r = 0; r < n; r++)
        for (int c = 0; c < r; c++) moments[(size_t)r * n + c] = moments[(size_t)c * n + r];
    symmetric_eigen(moments.data(), n, values.data(), vectors.data());
    if (!(values[0] > 0) || !(values[1] > 1e-8 * values[0])) return 1;
    xy->resize(2 * pixels);
    for (size_t i = 0; i < pixels; i++) {
        double x = 0, y = 0;
        for (int k = 0; k < n; k++)
            x += vectors[k] * samples[i * n + k], y += vectors[n + k] * samples[i * n + k];
        (*xy)[2 * i] = x / sqrt(values[0]), (*xy)[2 * i + 1] = y / sqrt(values[1]);
    }
    return 0;
}

// The steps that best explain the samples for the given X and Y of each pixel,
// with A each pixel's mean less its fringe part.
static void steps_from_phases(const std::vector<double> &samples, int n,
                              const std::vector<double> &xy, const std::vector<double> &a,
                              double *theta) {
    const size_t pixels = samples.size() / n;
    double xx = 0, xy_sum = 0, yy = 0, xr[MAX_FRAMES] = {}, yr[MAX_FRAMES] = {};
    for (size_t i = 0; i < pixels; i++) {
        const double x = xy[2 * i], y = xy[2 * i + 1];
        xx += x * x, xy_sum += x * y, yy += y * y;
        for (int k = 0; k < n; k++) {
            const double r = samples[i * n + k] - a[i];
            xr[k] += x * r, yr[k] += y * r;
        }
    }
    // r = X u - Y v: [xx, -xy; -xy, yy] (u, v) = (xr, -yr).
    const double det = xx * yy - xy_sum * xy_sum;
    for (int k = 0; k < n; k++) {
        const double u = (yy * xr[k] - xy_sum * yr[k]) / det,
                     v = (xy_sum * xr[k] - xx * yr[k]) / det;
        theta[k] = atan2(v, u);
    }
}

// The steps from the phases alone: each frame fitted against cos and sin of
// the phase, with one background and amplitude for the whole frame.
static int steps_from_angles(const std::vector<double> &samples, int n,
                             const std::vector<double> &xy, double *theta) {
    const size_t pixels = samples.size() / n;
    double g[3][3] = {}, r[MAX_FRAMES][3] = {};
    for (size_t i = 0; i < pixels; i++) {
        const double x = xy[2 * i], y = xy[2 * i + 1], length = sqrt(x * x + y * y);
        if (!(length > 0)) continue;
        const double v[3] = {1, x / length, y / length};
        for (int a = 0; a < 3; a++) {
            for (int b = 0; b < 3; b++) g[a][b] += v[a] * v[b];
            for (int k = 0; k < n; k++) r[k][a] += v[a] * samples[i * n + k];
        }
    }
    for (int k = 0; k < n; k++) {
        double solved[3] = {0, 0, 0};
        if (!solve3(g, r[k], solved)) return 1;
        // b cos p + c sin p = B cos(p + theta): b = B cos theta, c = -B sin theta.
        theta[k] = atan2(-solved[2], solved[1]);
    }
    return 0;
}

int find_plane_steps(const sample_frames &f, const quality_limits &limits, plane_numbers *m) {
    const int n = f.count;
    m->count = n;
    std::vector<double> samples = sample_pixels(f, limits);
    if (samples.size() < (size_t)n * 16) {  // too few usable pixels: take the finite ones
        quality_limits any = {0, INFINITY};
        samples = sample_pixels(f, any);
    }
    const size_t pixels = samples.size() / n;
    std::vector<double> xy, a(pixels);
    double theta[MAX_FRAMES], previous[MAX_FRAMES];
    if (pixels < 3 || plane_phases(samples, n, &xy) || steps_from_angles(samples, n, xy, theta))
        return 1;
    set_steps(m, theta);
    if (least_squares_map(m)) return 1;
    // With five frames or more the steps are fixed by the samples alone, not
    // only through phases spread evenly round the circle: alternating least
    // squares (each pixel's A, B and phase from the steps, the steps from
    // them) take out what uneven phases left. With four, every conic through
    // the four points of the steps fits as well, so the even spread decides.
    for (int iteration = 0; n >= 5 && iteration < 100; iteration++) {
        memcpy(previous, m->theta, sizeof previous);
        for (size_t i = 0; i < pixels; i++) {
            double s[3] = {0, 0, 0};
            for (int r = 0; r < 3; r++)
                for (int k = 0; k < n; k++) s[r] += m->solve[r][k] * samples[i * n + k];
            a[i] = s[0], xy[2 * i] = s[1], xy[2 * i + 1] = s[2];
        }
        steps_from_phases(samples, n, xy, a, theta);
        set_steps(m, theta);
        if (least_squares_map(m)) return 1;
        double moved = 0;
        for (int k = 0; k < n; k++)
            moved = fmax(moved, fabs(remainder(m->theta[k] - previous[k], TWO_PI)));
        if (moved < 1e-10) break;
    }
    // The sign no method can know: steps that ascend give the phase that
    // descends, as with three frames.
    double turn = 0;
    for (int k = 0; k + 1 < n; k++) turn += sin(m->theta[k + 1] - m->theta[k]);
    if (turn > 0) {
        for (int k = 0; k < n; k++) theta[k] = -m->theta[k];
        set_steps(m, theta);
        if (least_squares_map(m)) return 1;
    }
    return 0;
}

}  // namespace phaze_internal
