#include "model/model.h"

#include "math/solve3.h"
#include "math/vector_math.h"

#include <math.h>
#include <string.h>

#include <vector>

namespace phaze_internal {

static const double TWO_PI = 6.283185307179586;

static long long pixel_count(const sample_frames &f) { return (long long)f.width * f.height; }

// Pixels a block of the parallel passes.
static const long long BLOCK = 1 << 14;

// Sums of the normal equations of I_k = a_k + b_k cos(phase) + c_k sin(phase).
enum { N, C, S, CC, SS, CS, FRAME_SUMS };  // then I, I cos, I sin for each frame

static inline int usable(double x, double y, double z, double phase, double saturation) {
    return isfinite(x) && isfinite(y) && isfinite(z) && isfinite(phase) && x < saturation &&
           y < saturation && z < saturation;
}

// Pixels the steps are fitted on: usable, and with samples that spread by the
// modulation threshold at least (a dark border has no phase to fit against).
static inline int fits(double x, double y, double z, double phase, const quality_limits &limits) {
    // (Comparisons, not fmax: the samples are finite here, and fmax is a call.)
    const double high = x > y ? (x > z ? x : z) : (y > z ? y : z),
                 low = x < y ? (x < z ? x : z) : (y < z ? y : z);
    return usable(x, y, z, phase, limits.saturation) && high - low >= limits.min_modulation;
}

// The sums of one block, kept in named locals so that they stay in registers.
struct fit_block {
    double n = 0, c = 0, s = 0, cc = 0, ss = 0, cs = 0, i[3] = {0, 0, 0}, ic[3] = {0, 0, 0},
           is[3] = {0, 0, 0};
    void add(double x, double y, double z, double cp, double sp) {
        n += 1, c += cp, s += sp, cc += cp * cp, ss += sp * sp, cs += cp * sp;
        i[0] += x, i[1] += y, i[2] += z;
        ic[0] += x * cp, ic[1] += y * cp, ic[2] += z * cp;
        is[0] += x * sp, is[1] += y * sp, is[2] += z * sp;
    }
    void add_to(double *sums) const {
        sums[N] += n, sums[C] += c, sums[S] += s, sums[CC] += cc, sums[SS] += ss, sums[CS] += cs;
        for (int j = 0; j < 3; j++) {
            sums[FRAME_SUMS + 3 * j] += i[j];
            sums[FRAME_SUMS + 3 * j + 1] += ic[j];
            sums[FRAME_SUMS + 3 * j + 2] += is[j];
        }
    }
};

static double wrapped(double angle) {
    const double w = fmod(angle, TWO_PI);
    return w < 0 ? w + TWO_PI : w;
}

// The model fitted: absolute steps theta_k of I_k = A + B cos(phase + theta_k),
// and the inverse of the matrix that maps (A, B cos phase, B sin phase) to the
// three samples.
struct model {
    int fitted;
    double theta[3], cos_theta[3], sin_theta[3], inverse[3][3];
};

static model fit_model(const double *sums) {
    model m = {};
    const double normal[3][3] = {
        {sums[N], sums[C], sums[S]}, {sums[C], sums[CC], sums[CS]}, {sums[S], sums[CS], sums[SS]}};
    m.fitted = sums[N] >= 3;
    for (int j = 0; j < 3 && m.fitted; j++) {
        double abc[3] = {0, 0, 0};
        m.fitted = solve3(normal, sums + FRAME_SUMS + 3 * j, abc);
        // b cos(p) + c sin(p) = B cos(p + theta) with b = B cos theta, c = -B sin theta.
        m.theta[j] = atan2(-abc[2], abc[1]);
        m.cos_theta[j] = cos(m.theta[j]), m.sin_theta[j] = sin(m.theta[j]);
    }
    const double rows[3][3] = {{1, m.cos_theta[0], -m.sin_theta[0]},
                               {1, m.cos_theta[1], -m.sin_theta[1]},
                               {1, m.cos_theta[2], -m.sin_theta[2]}};
    for (int c = 0; c < 3 && m.fitted; c++) {
        const double unit[3] = {c == 0 ? 1.0 : 0.0, c == 1 ? 1.0 : 0.0, c == 2 ? 1.0 : 0.0};
        double column[3] = {0, 0, 0};
        m.fitted = solve3(rows, unit, column);
        for (int r = 0; r < 3; r++) m.inverse[r][c] = column[r];
    }
    return m;
}

struct model_sums {
    double valid, a, b, r2, sampled;  // r2 over the sampled valid pixels only
};

static void fill_report(const model &m, const model_sums &sums, long long pixels,
                        phaze_report *report) {
    report->phase_offset = m.fitted ? m.theta[0] : NAN;
    for (int j = 0; j < 3; j++)
        report->steps[j] = m.fitted ? wrapped(m.theta[j] - m.theta[0]) : NAN;
    report->steps[0] = m.fitted ? 0 : NAN;
    report->frame_count = 3;
    report->background = sums.valid > 0 ? sums.a / sums.valid : NAN;
    report->modulation = sums.valid > 0 ? sums.b / sums.valid : NAN;
    report->residual_rms = sums.sampled > 0 ? sqrt(sums.r2 / (3 * sums.sampled)) : NAN;
    report->masked_fraction = 1 - sums.valid / (double)pixels;
}

// Every FIT_STRIDE-th run of FIT_RUN pixels enters the fit of the steps: a
// sixteenth of a large frame fixes three numbers far better than the samples'
// noise allows, and the phase and the model then need only one more pass. 17
// runs of 256 are prime to the usual widths, so the runs fall on every column.
static const long long FIT_STRIDE = 17, FIT_RUN = 256, FIT_ALL_BELOW = 1 << 18;

// The fit of the steps. each_pixel(start, count, visit) calls visit(i, x, y, z,
// p, c, s) for pixels start to start + count - 1 with their samples, phase and
// its cos and sin. Sums are added in the order of the runs, so the result does
// not depend on the threads.
static long long fit_stride(long long pixels) { return pixels < FIT_ALL_BELOW ? 1 : FIT_STRIDE; }

template <typename Pixels>
static model fit_pass(long long pixels, Pixels each_pixel, const quality_limits &limits) {
    const long long stride = fit_stride(pixels);
    const long long runs = (pixels + FIT_RUN - 1) / FIT_RUN,
                    fitted_runs = (runs + stride - 1) / stride;
    std::vector<fit_block> fit(fitted_runs);
#pragma omp parallel for schedule(static)
    for (long long r = 0; r < fitted_runs; r++) {
        const long long start = r * stride * FIT_RUN;
        fit_block sums;
        each_pixel(start, pixels - start < FIT_RUN ? pixels - start : FIT_RUN,
                   [&](long long, double x, double y, double z, double p, double c, double s) {
                       if (fits(x, y, z, p, limits)) sums.add(x, y, z, c, s);
                   });
        fit[r] = sums;
    }
    double sums[FRAME_SUMS + 9] = {};
    for (const fit_block &block : fit) block.add_to(sums);
    return fit_model(sums);
}

// The model over all pixels, block by block: make(start, count, totals) fills
// the outputs of a block and adds to its totals.
template <typename Make>
static void model_pass(long long pixels, const model &m, Make make, phaze_report *report) {
    const long long blocks = (pixels + BLOCK - 1) / BLOCK;
    std::vector<model_sums> totals(blocks);
#pragma omp parallel for schedule(static)
    for (long long b = 0; b < blocks; b++) {
        const long long start = b * BLOCK;
        model_sums block = {0, 0, 0, 0, 0};
        make(start, pixels - start < BLOCK ? pixels - start : BLOCK, block);
        totals[b] = block;
    }
    model_sums all = {0, 0, 0, 0, 0};
    for (const model_sums &t : totals)
        all.valid += t.valid, all.a += t.a, all.b += t.b, all.r2 += t.r2, all.sampled += t.sampled;
    fill_report(m, all, pixels, report);
}

// cos and sin of the phase from the levelled point: the phase is its polar
// angle plus pi.
static inline void phase_direction(double x, double y, double &c, double &s) {
    const double r = sqrt(x * x + y * y), inverse = 1 / (r > 0 ? r : 1);
    c = r > 0 ? -x * inverse : -1.0;
    s = -y * inverse;
}

// A, B and the squared residual of n pixels, element by element, in vector
// registers (AVX2 where the processor has it).
// A and B of n pixels, element by element, in vector registers (AVX2 where
// the processor has it); with_residual, also each one's squared residual (the
// residual is a number of the report, taken over the runs that fit the steps).
__attribute__((target_clones("avx2", "default"))) static void model_block(
    const model &m, const double *a, const double *b, const double *c, const double *x,
    const double *y, double *A, double *B, double *r2, int n, bool with_residual) {
    // The model's numbers in locals: stores through A and B could otherwise
    // alias them, and the loop would read them again for every pixel.
    const double i00 = m.inverse[0][0], i01 = m.inverse[0][1], i02 = m.inverse[0][2],
                 i10 = m.inverse[1][0], i11 = m.inverse[1][1], i12 = m.inverse[1][2],
                 i20 = m.inverse[2][0], i21 = m.inverse[2][1], i22 = m.inverse[2][2];
    for (int k = 0; k < n; k++) {
        const double I0 = a[k], I1 = b[k], I2 = c[k];
        const double s0 = i00 * I0 + i01 * I1 + i02 * I2, s1 = i10 * I0 + i11 * I1 + i12 * I2,
                     s2 = i20 * I0 + i21 * I1 + i22 * I2;
        A[k] = s0;
        B[k] = sqrt(s1 * s1 + s2 * s2);
    }
    if (!with_residual) return;
    const double c0 = m.cos_theta[0], c1 = m.cos_theta[1], c2 = m.cos_theta[2], n0 = m.sin_theta[0],
                 n1 = m.sin_theta[1], n2 = m.sin_theta[2];
    for (int k = 0; k < n; k++) {
        double cp, sp;
        phase_direction(x[k], y[k], cp, sp);
        const double d0 = a[k] - (A[k] + B[k] * (cp * c0 - sp * n0)),
                     d1 = b[k] - (A[k] + B[k] * (cp * c1 - sp * n1)),
                     d2 = c[k] - (A[k] + B[k] * (cp * c2 - sp * n2));
        r2[k] = d0 * d0 + d1 * d1 + d2 * d2;
    }
}

// Which pixels of a block are valid (ok: 1, else 0), their phase (NaN where
// not), and A and B where valid (0 where not), the addends of the report's
// sums. Without branches, and ok as wide as the samples, so that it runs in
// vector registers: a sample less itself is 0 only when it is finite.
__attribute__((target_clones("avx2", "default"))) static void judge_block(
    int fitted, const double *a, const double *b, const double *c, const double *p, const double *A,
    const double *B, const quality_limits &limits, int n, double *__restrict phase,
    double *__restrict ok, double *__restrict valid_A, double *__restrict valid_B) {
    const double saturation = limits.saturation, least = limits.min_modulation;
    if (!fitted) {
        for (int k = 0; k < n; k++) phase[k] = NAN, ok[k] = 0, valid_A[k] = 0, valid_B[k] = 0;
        return;
    }
    for (int k = 0; k < n; k++) {
        const bool good = (a[k] - a[k] == 0) & (b[k] - b[k] == 0) & (c[k] - c[k] == 0) &
                          (p[k] - p[k] == 0) & (a[k] < saturation) & (b[k] < saturation) &
                          (c[k] < saturation) & (B[k] >= least);
        phase[k] = good ? p[k] : NAN;
        ok[k] = good ? 1 : 0;
        valid_A[k] = good ? A[k] : 0;
        valid_B[k] = good ? B[k] : 0;
    }
}

// The block's mask and modulation, where asked for (mask or modulation may be
// NULL); in a function of their own, with restrict outputs, so that byte stores
// do not make the loops read their pointers again for every pixel.
__attribute__((target_clones("avx2", "default"))) static void store_mask_and_modulation(
    int fitted, const double *ok, const double *B, int n, unsigned char *__restrict mask,
    float *__restrict modulation) {
    if (mask != NULL)
        for (int k = 0; k < n; k++) mask[k] = (unsigned char)(int)ok[k];
    if (modulation != NULL)
        for (int k = 0; k < n; k++) modulation[k] = fitted ? (float)B[k] : NAN;
}

// The model over all pixels: points(first, n, a, b, c, x, y, p) gives a block's
// samples, the points whose polar angle plus pi is their phase, and the phase.
template <typename Points>
static void model_all(const sample_frames &f, const model &m, const quality_limits &limits,
                      Points points, double *phase, float *modulation, unsigned char *mask,
                      phaze_report *report, const harmonic_ripple *ripple) {
    model_pass(
        pixel_count(f), m,
        [&](long long start, long long count, model_sums &totals) {
            double a[LEVELLED_BLOCK], b[LEVELLED_BLOCK], c[LEVELLED_BLOCK], x[LEVELLED_BLOCK],
                y[LEVELLED_BLOCK], p[LEVELLED_BLOCK], A[LEVELLED_BLOCK], B[LEVELLED_BLOCK],
                r2[LEVELLED_BLOCK];
            for (long long done = 0; done < count; done += LEVELLED_BLOCK) {
                const int n = (int)(count - done < LEVELLED_BLOCK ? count - done : LEVELLED_BLOCK);
                const long long first = start + done;
                points(first, n, a, b, c, x, y, p);
                const bool sampled = (first / FIT_RUN) % fit_stride(pixel_count(f)) == 0;
                model_block(m, a, b, c, x, y, A, B, r2, n, sampled);
                double ok[LEVELLED_BLOCK], valid_A[LEVELLED_BLOCK], valid_B[LEVELLED_BLOCK];
                judge_block(m.fitted, a, b, c, p, A, B, limits, n, phase + first, ok, valid_A,
                            valid_B);
                if (ripple != NULL) correct_block(*ripple, phase + first, n);
                store_mask_and_modulation(m.fitted, ok, B, n, mask ? mask + first : NULL,
                                          modulation ? modulation + first : NULL);
                // The sums in a fixed order, whatever the threads: four lanes
                // (pixel k in lane k % 4), added at the end of the block.
                double lanes[3][4] = {};
                int k = 0;
                for (; k + 4 <= n; k += 4)
                    for (int j = 0; j < 4; j++)
                        lanes[0][j] += ok[k + j], lanes[1][j] += valid_A[k + j],
                            lanes[2][j] += valid_B[k + j];
                for (; k < n; k++)
                    lanes[0][k % 4] += ok[k], lanes[1][k % 4] += valid_A[k],
                        lanes[2][k % 4] += valid_B[k];
                double valid = (lanes[0][0] + lanes[0][1]) + (lanes[0][2] + lanes[0][3]),
                       sum_a = (lanes[1][0] + lanes[1][1]) + (lanes[1][2] + lanes[1][3]),
                       sum_b = (lanes[2][0] + lanes[2][1]) + (lanes[2][2] + lanes[2][3]),
                       sum_r2 = 0;
                for (int k = 0; sampled && k < n; k++) sum_r2 += ok[k] != 0 ? r2[k] : 0;
                totals.valid += valid, totals.a += sum_a, totals.b += sum_b;
                if (sampled) totals.r2 += sum_r2, totals.sampled += valid;
            }
        },
        report);
}

void phase_and_quality(const sample_frames &f, const sample_frames &levelled_from,
                       const shared_numbers &shared, const quality_limits &limits, double *phase,
                       float *modulation, unsigned char *mask, phaze_report *report,
                       harmonic_ripple *ripple) {
    const bool same = &f == &levelled_from;
    // A block's samples as given (they make the mask) and its levelled points,
    // made from levelled_from (the same frames, or a copy without non-finite
    // samples); the phase is their polar angle plus pi.
    const auto points = [&](long long first, int n, double *a, double *b, double *c, double *x,
                            double *y, double *p) {
        visit_pixels(f, first, n, [&](long long k, double u, double v, double w) {
            a[k] = u, b[k] = v, c[k] = w;
        });
        if (same) {
            level_block(shared, a, b, c, x, y, n);
        } else {
            double u[LEVELLED_BLOCK], v[LEVELLED_BLOCK], w[LEVELLED_BLOCK];
            visit_pixels(levelled_from, first, n, [&](long long k, double r, double s, double t) {
                u[k] = r, v[k] = s, w[k] = t;
            });
            level_block(shared, u, v, w, x, y, n);
        }
        polar_phase_block(x, y, p, n);
    };
    const auto levelled = [&](long long start, long long count, auto visit) {
        double a[LEVELLED_BLOCK], b[LEVELLED_BLOCK], c[LEVELLED_BLOCK], x[LEVELLED_BLOCK],
            y[LEVELLED_BLOCK], p[LEVELLED_BLOCK];
        for (long long done = 0; done < count; done += LEVELLED_BLOCK) {
            const int n = (int)(count - done < LEVELLED_BLOCK ? count - done : LEVELLED_BLOCK);
            points(start + done, n, a, b, c, x, y, p);
            for (int k = 0; k < n; k++) {
                double cp, sp;
                phase_direction(x[k], y[k], cp, sp);
                visit(start + done + k, a[k], b[k], c[k], p[k], cp, sp);
            }
        }
    };
    const model m = fit_pass(pixel_count(f), levelled, limits);
    if (ripple != NULL) {
        // A row's phases where its samples are finite and have modulation,
        // saturated or not.
        const auto row_phases = [&](int y, int x0, int count, double *psi, unsigned char *has) {
            double a[LEVELLED_BLOCK], b[LEVELLED_BLOCK], c[LEVELLED_BLOCK], px[LEVELLED_BLOCK],
                py[LEVELLED_BLOCK], p[LEVELLED_BLOCK];
            for (int done = 0; done < count; done += LEVELLED_BLOCK) {
                const int n = count - done < LEVELLED_BLOCK ? count - done : LEVELLED_BLOCK;
                points((long long)y * f.width + x0 + done, n, a, b, c, px, py, p);
                for (int k = 0; k < n; k++) {
                    const double s1 = m.inverse[1][0] * a[k] + m.inverse[1][1] * b[k] +
                                      m.inverse[1][2] * c[k],
                                 s2 = m.inverse[2][0] * a[k] + m.inverse[2][1] * b[k] +
                                      m.inverse[2][2] * c[k];
                    psi[done + k] = p[k];
                    has[done + k] = m.fitted && isfinite(a[k]) && isfinite(b[k]) &&
                                    isfinite(c[k]) && isfinite(p[k]) &&
                                    s1 * s1 + s2 * s2 >= limits.min_modulation * limits.min_modulation;
                }
            }
        };
        ripple_from_triples(ripple_triples(f.width, f.height, row_phases), ripple);
    }
    model_all(f, m, limits, points, phase, modulation, mask, report,
              ripple != NULL && ripple->removable ? ripple : NULL);
}

void estimate_quality(const sample_frames &f, const quality_limits &limits, double *phase,
                      float *modulation, unsigned char *mask, phaze_report *report,
                      harmonic_ripple *ripple) {
    const auto from_phase = [&](long long start, long long count, auto visit) {
        visit_pixels(f, start, count, [&](long long k, double a, double b, double c) {
            const long long i = start + k;
            visit(i, a, b, c, phase[i], cos(phase[i]), sin(phase[i]));
        });
    };
    const model m = fit_pass(pixel_count(f), from_phase, limits);
    // The unit point at angle phase - pi has the phase as its polar angle plus pi.
    const auto points = [&](long long first, int n, double *a, double *b, double *c, double *x,
                            double *y, double *p) {
        visit_pixels(f, first, n, [&](long long k, double u, double v, double w) {
            a[k] = u, b[k] = v, c[k] = w;
            p[k] = phase[first + k];
            x[k] = -cos(p[k]), y[k] = -sin(p[k]);
        });
    };
    model_all(f, m, limits, points, phase, modulation, mask, report, NULL);
    if (ripple == NULL) return;
    const auto row_phases = [&](int y, int x0, int count, double *psi, unsigned char *has) {
        for (int i = 0; i < count; i++)
            psi[i] = phase[(size_t)y * f.width + x0 + i], has[i] = !isnan(psi[i]);
    };
    ripple_from_triples(ripple_triples(f.width, f.height, row_phases), ripple);
    if (ripple->removable) remove_ripple(*ripple, phase, pixel_count(f));
}

}  // namespace phaze_internal
