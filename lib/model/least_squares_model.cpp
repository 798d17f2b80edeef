#include "model/least_squares_model.h"

#include <math.h>

#include <vector>

#include "math/vector_math.h"

static const double TWO_PI = 6.283185307179586;
static const int BLOCK = 256;  // pixels a block: each frame's samples stay in the first cache

struct block_sums {
    double valid = 0, a = 0, b = 0, r2 = 0;
};

static block_sums model_block(const sample_frames &f, const plane_numbers &m,
                              const quality_limits &limits, long long first, int count,
                              double *phase, float *modulation, unsigned char *mask) {
    const int n = f.count;
    double samples[MAX_FRAMES * BLOCK], A[BLOCK], X[BLOCK], Y[BLOCK], r2[BLOCK];
    int ok[BLOCK];
    load_block(f, first, count, samples, BLOCK);
    for (int j = 0; j < count; j++) A[j] = X[j] = Y[j] = r2[j] = 0, ok[j] = 1;
    for (int k = 0; k < n; k++) {  // frame after frame: the loops over pixels vectorise
        const double *I = samples + k * BLOCK;
        const double sa = m.solve[0][k], sx = m.solve[1][k], sy = m.solve[2][k];
        for (int j = 0; j < count; j++) {
            A[j] += sa * I[j], X[j] += sx * I[j], Y[j] += sy * I[j];
            ok[j] &= isfinite(I[j]) && I[j] < limits.saturation;
        }
    }
    for (int k = 0; k < n; k++) {
        const double *I = samples + k * BLOCK, c = m.cos_theta[k], s = m.sin_theta[k];
        for (int j = 0; j < count; j++) {
            const double d = I[j] - (A[j] + X[j] * c - Y[j] * s);
            r2[j] += d * d;
        }
    }
    // atan2(Y, X) into [0, 2 pi): the polar angle of (-X, -Y) plus pi.
    double minus_x[BLOCK], minus_y[BLOCK], angle[BLOCK];
    for (int j = 0; j < count; j++) minus_x[j] = -X[j], minus_y[j] = -Y[j];
    polar_phase_block(minus_x, minus_y, angle, count);
    block_sums sums;
    for (int j = 0; j < count; j++) {
        const long long i = first + j;
        const double B = sqrt(X[j] * X[j] + Y[j] * Y[j]);
        const int valid = ok[j] && B >= limits.min_modulation;
        const double p = angle[j] < TWO_PI ? angle[j] : 0;
        phase[i] = valid ? p : NAN;
        if (modulation != NULL) modulation[i] = (float)B;
        if (mask != NULL) mask[i] = (unsigned char)valid;
        if (valid) sums.valid += 1, sums.a += A[j], sums.b += B, sums.r2 += r2[j];
    }
    return sums;
}

void least_squares_model(const sample_frames &f, const plane_numbers &m,
                         const quality_limits &limits, double *phase, float *modulation,
                         unsigned char *mask, phaze_report *report) {
    const long long pixels = (long long)f.width * f.height, blocks = (pixels + BLOCK - 1) / BLOCK;
    std::vector<block_sums> totals(blocks);
#pragma omp parallel for schedule(static)
    for (long long b = 0; b < blocks; b++) {
        const long long first = b * BLOCK;
        totals[b] =
            model_block(f, m, limits, first, (int)(pixels - first < BLOCK ? pixels - first : BLOCK),
                        phase, modulation, mask);
    }
    block_sums all;  // in the order of the blocks, whatever the threads
    for (const block_sums &t : totals)
        all.valid += t.valid, all.a += t.a, all.b += t.b, all.r2 += t.r2;
    report->frame_count = m.count;
    for (int k = 0; k < m.count; k++) report->steps[k] = m.theta[k];
    report->phase_offset = 0;
    report->background = all.valid > 0 ? all.a / all.valid : NAN;
    report->modulation = all.valid > 0 ? all.b / all.valid : NAN;
    report->residual_rms = all.valid > 0 ? sqrt(all.r2 / (m.count * all.valid)) : NAN;
    report->masked_fraction = 1 - all.valid / (double)pixels;
}
