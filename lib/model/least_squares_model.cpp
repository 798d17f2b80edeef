#include "model/least_squares_model.h"

#include <math.h>

#include <vector>

#include "math/vector_math.h"

namespace phaze_internal {

static const double TWO_PI = 6.283185307179586;
static const int BLOCK = 256;  // pixels a block: each frame's samples stay in the first cache

struct block_sums {
    double valid = 0, a = 0, b = 0, r2 = 0;
};

// Whether a pixel's samples so far, and I, leave it usable (1, else 0): every
// sample finite (a sample less itself is 0 only then) and below saturation.
// Without branches, and as wide as the samples, so that it runs in vector
// registers.
static inline double kept(double ok, double I, double saturation) {
    return (ok != 0) & (I - I == 0) & (I < saturation) ? 1.0 : 0.0;
}

// One block of pixels, frame after frame, so that the loops over its pixels run
// in vector registers (AVX2 where the processor has it); the same operations
// in the same order either way, so the same bits. Masked pixels add 0 to the
// sums.
__attribute__((target_clones("avx2", "default"))) static block_sums model_block(
    const sample_frames &f, const plane_numbers &m, const quality_limits &limits, long long first,
    int count, double *__restrict phase, float *__restrict modulation,
    unsigned char *__restrict mask) {
    const int n = f.count;
    const double saturation = limits.saturation, least = limits.min_modulation;
    double samples[MAX_FRAMES * BLOCK], A[BLOCK], X[BLOCK], Y[BLOCK], r2[BLOCK], ok[BLOCK];
    load_block(f, first, count, samples, BLOCK);
    for (int j = 0; j < count; j++) A[j] = X[j] = Y[j] = r2[j] = 0, ok[j] = 1;
    for (int k = 0; k < n; k++) {
        const double *I = samples + k * BLOCK;
        const double sa = m.solve[0][k], sx = m.solve[1][k], sy = m.solve[2][k];
        for (int j = 0; j < count; j++) {
            A[j] += sa * I[j], X[j] += sx * I[j], Y[j] += sy * I[j];
            ok[j] = kept(ok[j], I[j], saturation);
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
    double minus_x[BLOCK], minus_y[BLOCK], angle[BLOCK], B[BLOCK];
    for (int j = 0; j < count; j++) minus_x[j] = -X[j], minus_y[j] = -Y[j];
    polar_phase_block(minus_x, minus_y, angle, count);
    for (int j = 0; j < count; j++) {
        B[j] = sqrt(X[j] * X[j] + Y[j] * Y[j]);
        ok[j] = (ok[j] != 0) & (B[j] >= least) ? 1.0 : 0.0;
        const double p = angle[j] < TWO_PI ? angle[j] : 0;
        phase[first + j] = ok[j] != 0 ? p : NAN;
    }
    if (modulation != NULL)
        for (int j = 0; j < count; j++) modulation[first + j] = (float)B[j];
    if (mask != NULL)
        for (int j = 0; j < count; j++) mask[first + j] = (unsigned char)(int)ok[j];
    // The sums in a fixed order, whatever the threads: four lanes (pixel j in
    // lane j % 4), added at the end of the block.
    for (int j = 0; j < count; j++) {
        const bool valid = ok[j] != 0;
        A[j] = valid ? A[j] : 0, B[j] = valid ? B[j] : 0, r2[j] = valid ? r2[j] : 0;
    }
    double lanes[4][4] = {};
    int j = 0;
    for (; j + 4 <= count; j += 4)
        for (int l = 0; l < 4; l++)
            lanes[0][l] += ok[j + l], lanes[1][l] += A[j + l], lanes[2][l] += B[j + l],
                lanes[3][l] += r2[j + l];
    for (; j < count; j++)
        lanes[0][j % 4] += ok[j], lanes[1][j % 4] += A[j], lanes[2][j % 4] += B[j],
            lanes[3][j % 4] += r2[j];
    block_sums sums;
    double *totals[4] = {&sums.valid, &sums.a, &sums.b, &sums.r2};
    for (int t = 0; t < 4; t++)
        *totals[t] = (lanes[t][0] + lanes[t][1]) + (lanes[t][2] + lanes[t][3]);
    return sums;
}

// Row y's phases as the pass makes them, where the pixel's samples are finite
// and have modulation, saturated or not.
static void row_phases(const sample_frames &f, const plane_numbers &m,
                       const quality_limits &limits, int y, int x0, int count, double *psi,
                       unsigned char *has) {
    double samples[MAX_FRAMES * BLOCK], minus_x[BLOCK], minus_y[BLOCK], angle[BLOCK],
        finite[BLOCK];
    for (int done = 0; done < count; done += BLOCK) {
        const int n = count - done < BLOCK ? count - done : BLOCK;
        load_block(f, (long long)y * f.width + x0 + done, n, samples, BLOCK);
        for (int j = 0; j < n; j++) minus_x[j] = minus_y[j] = 0, finite[j] = 1;
        for (int k = 0; k < f.count; k++)
            for (int j = 0; j < n; j++) {
                const double I = samples[k * BLOCK + j];
                minus_x[j] -= m.solve[1][k] * I, minus_y[j] -= m.solve[2][k] * I;
                finite[j] = finite[j] != 0 && I - I == 0 ? 1 : 0;
            }
        polar_phase_block(minus_x, minus_y, angle, n);
        for (int j = 0; j < n; j++) {
            psi[done + j] = angle[j] < TWO_PI ? angle[j] : 0;
            has[done + j] = finite[j] != 0 && minus_x[j] * minus_x[j] + minus_y[j] * minus_y[j] >=
                                                   limits.min_modulation * limits.min_modulation;
        }
    }
}

void least_squares_model(const sample_frames &f, const plane_numbers &m,
                         const quality_limits &limits, double *phase, float *modulation,
                         unsigned char *mask, phaze_report *report, harmonic_ripple *ripple) {
    const long long pixels = (long long)f.width * f.height, blocks = (pixels + BLOCK - 1) / BLOCK;
    if (ripple != NULL)
        ripple_from_triples(ripple_triples(f.width, f.height,
                                           [&](int y, int x, int n, double *psi,
                                               unsigned char *has) {
                                               row_phases(f, m, limits, y, x, n, psi, has);
                                           }),
                            ripple);
    const harmonic_ripple *taken_out = ripple != NULL && ripple->removable ? ripple : NULL;
    std::vector<block_sums> totals(blocks);
#pragma omp parallel for schedule(static)
    for (long long b = 0; b < blocks; b++) {
        const long long first = b * BLOCK;
        const int count = (int)(pixels - first < BLOCK ? pixels - first : BLOCK);
        totals[b] = model_block(f, m, limits, first, count, phase, modulation, mask);
        if (taken_out != NULL) correct_block(*taken_out, phase + first, count);
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

}  // namespace phaze_internal
