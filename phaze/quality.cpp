#include "phaze/quality.h"

#include <math.h>
#include <string.h>

#include <initializer_list>

static const double TWO_PI = 6.283185307179586;

static long long pixel_count(const sample_frames &f) { return (long long)f.width * f.height; }

// Pixels a block of the parallel passes.
static const long long BLOCK = 1 << 14;

// Sums of the normal equations of I_k = a_k + b_k cos(phase) + c_k sin(phase).
enum { N, C, S, CC, SS, CS, FRAME_SUMS };  // then I, I cos, I sin for each frame

static int usable(double x, double y, double z, double phase, double saturation) {
    return isfinite(x) && isfinite(y) && isfinite(z) && isfinite(phase) && x < saturation &&
           y < saturation && z < saturation;
}

// Solves the symmetric 3 x 3 system m v = r; 0 when it is singular.
static int solve3(const double m[3][3], const double r[3], double v[3]) {
    const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                       m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                       m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    if (!(fabs(det) > 1e-300)) return 0;
    for (int c = 0; c < 3; c++) {
        double t[3][3];
        memcpy(t, m, sizeof t);
        for (int k = 0; k < 3; k++) t[k][c] = r[k];
        v[c] = (t[0][0] * (t[1][1] * t[2][2] - t[1][2] * t[2][1]) -
                t[0][1] * (t[1][0] * t[2][2] - t[1][2] * t[2][0]) +
                t[0][2] * (t[1][0] * t[2][1] - t[1][1] * t[2][0])) /
               det;
    }
    return 1;
}

// Absolute steps theta_k of I_k = A + B cos(phase + theta_k); 0 when no fit.
// Pixels whose samples spread less than the modulation threshold (a dark
// border, say) have no phase to fit against and stay out.
static int fit_steps(const sample_frames &f, const double *phase, const quality_limits &limits,
                     double theta[3]) {
    const long long pixels = pixel_count(f);
    double sums[FRAME_SUMS + 9] = {};
#pragma omp parallel for schedule(static) reduction(+ : sums[:FRAME_SUMS + 9])
    for (long long start = 0; start < pixels; start += BLOCK) {
        const long long count = pixels - start < BLOCK ? pixels - start : BLOCK;
        visit_pixels(f, start, count, [&](long long k, double x, double y, double z) {
            const double p = phase[start + k];
            if (!usable(x, y, z, p, limits.saturation)) return;
            if (fmax(fmax(x, y), z) - fmin(fmin(x, y), z) < limits.min_modulation) return;
            const double c = cos(p), s = sin(p), I[3] = {x, y, z};
            sums[N] += 1, sums[C] += c, sums[S] += s;
            sums[CC] += c * c, sums[SS] += s * s, sums[CS] += c * s;
            for (int j = 0; j < 3; j++) {
                sums[FRAME_SUMS + 3 * j] += I[j];
                sums[FRAME_SUMS + 3 * j + 1] += I[j] * c;
                sums[FRAME_SUMS + 3 * j + 2] += I[j] * s;
            }
        });
    }
    const double normal[3][3] = {
        {sums[N], sums[C], sums[S]}, {sums[C], sums[CC], sums[CS]}, {sums[S], sums[CS], sums[SS]}};
    for (int j = 0; j < 3; j++) {
        double abc[3];
        if (sums[N] < 3 || !solve3(normal, sums + FRAME_SUMS + 3 * j, abc)) return 0;
        // b cos(p) + c sin(p) = B cos(p + theta) with b = B cos theta, c = -B sin theta.
        theta[j] = atan2(-abc[2], abc[1]);
    }
    return 1;
}

static double wrapped(double angle) {
    const double w = fmod(angle, TWO_PI);
    return w < 0 ? w + TWO_PI : w;
}

void estimate_quality(const sample_frames &f, const quality_limits &limits, double *phase,
                      float *modulation, unsigned char *mask, phaze_report *report) {
    const long long pixels = pixel_count(f);
    double theta[3] = {NAN, NAN, NAN}, inverse[3][3] = {};
    int fitted = fit_steps(f, phase, limits, theta);
    if (fitted) {
        // Rows [1, cos theta_k, -sin theta_k] map (A, B cos p, B sin p) to the samples.
        const double model[3][3] = {{1, cos(theta[0]), -sin(theta[0])},
                                    {1, cos(theta[1]), -sin(theta[1])},
                                    {1, cos(theta[2]), -sin(theta[2])}};
        for (int c = 0; c < 3 && fitted; c++) {
            const double unit[3] = {c == 0 ? 1.0 : 0.0, c == 1 ? 1.0 : 0.0, c == 2 ? 1.0 : 0.0};
            double column[3];
            fitted = solve3(model, unit, column);
            for (int r = 0; r < 3; r++) inverse[r][c] = column[r];
        }
    }
    double cos_theta[3], sin_theta[3];
    for (int j = 0; j < 3; j++) cos_theta[j] = cos(theta[j]), sin_theta[j] = sin(theta[j]);
    double valid = 0, sum_a = 0, sum_b = 0, sum_r2 = 0;
#pragma omp parallel for schedule(static) reduction(+ : valid, sum_a, sum_b, sum_r2)
    for (long long start = 0; start < pixels; start += BLOCK) {
        const long long count = pixels - start < BLOCK ? pixels - start : BLOCK;
        visit_pixels(f, start, count, [&](long long k, double x, double y, double z) {
            const long long i = start + k;
            const double I[3] = {x, y, z};
            double solved[3] = {NAN, NAN, NAN};
            for (int r = 0; r < 3 && fitted; r++)
                solved[r] = inverse[r][0] * x + inverse[r][1] * y + inverse[r][2] * z;
            const double A = solved[0], B = sqrt(solved[1] * solved[1] + solved[2] * solved[2]);
            const int ok = fitted && usable(x, y, z, phase[i], limits.saturation) &&
                           B >= limits.min_modulation;
            if (modulation != NULL) modulation[i] = (float)B;
            if (mask != NULL) mask[i] = (unsigned char)ok;
            if (!ok) {
                phase[i] = NAN;
                return;
            }
            valid += 1, sum_a += A, sum_b += B;
            const double c = cos(phase[i]), s = sin(phase[i]);
            for (int j = 0; j < 3; j++) {
                const double r = I[j] - (A + B * (c * cos_theta[j] - s * sin_theta[j]));
                sum_r2 += r * r;
            }
        });
    }
    report->phase_offset = fitted ? theta[0] : NAN;
    for (int j = 0; j < 3; j++) report->steps[j] = fitted ? wrapped(theta[j] - theta[0]) : NAN;
    report->steps[0] = fitted ? 0 : NAN;
    report->background = valid > 0 ? sum_a / valid : NAN;
    report->modulation = valid > 0 ? sum_b / valid : NAN;
    report->residual_rms = valid > 0 ? sqrt(sum_r2 / (3 * valid)) : NAN;
    report->masked_fraction = 1 - valid / (double)pixels;
}

double largest_sample(const sample_frames &f) {
    const long long pixels = pixel_count(f);
    double largest = 0;
#pragma omp parallel for schedule(static) reduction(max : largest)
    for (long long start = 0; start < pixels; start += BLOCK) {
        const long long count = pixels - start < BLOCK ? pixels - start : BLOCK;
        visit_pixels(f, start, count, [&](long long, double x, double y, double z) {
            for (double v : {x, y, z})
                if (isfinite(v) && v > largest) largest = v;
        });
    }
    return largest;
}

int no_modulation_anywhere(const sample_frames &f, double min_modulation) {
    const long long pixels = pixel_count(f);
    int flat = 1;
#pragma omp parallel for schedule(static) reduction(&& : flat)
    for (long long start = 0; start < pixels; start += BLOCK) {
        const long long count = pixels - start < BLOCK ? pixels - start : BLOCK;
        visit_pixels(f, start, count, [&](long long, double x, double y, double z) {
            const double spread = fmax(fmax(x, y), z) - fmin(fmin(x, y), z);
            if (spread >= min_modulation) flat = 0;
        });
    }
    return flat;
}
