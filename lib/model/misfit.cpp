#include "model/misfit.h"

#include <math.h>
#include <string.h>

#include <algorithm>

#include "method/symmetric_eigen.h"
#include "model/sampled_fit.h"

namespace phaze_internal {

// Harmonics 2 to 5 of the phase, as cosine and sine: a gamma of 2.2 puts less
// than a thousandth of the fringe amplitude beyond the fifth.
static const int FIRST_HARMONIC = 2, LAST_HARMONIC = 5,
                 TERMS = 2 * (LAST_HARMONIC - FIRST_HARMONIC + 1);
// Neighbouring pairs of pixels in the sample: rows, and pairs a row.
static const int SAMPLE_ROWS = 64, PAIRS_A_ROW = 64, MIN_PAIRS = 200;

namespace {

// A pixel's residual about the fundamental and the harmonics' regressors, each
// made orthogonal to what the fit of A, X and Y has already taken.
struct residual {
    double r[MAX_FRAMES];
    double g[TERMS][MAX_FRAMES];
    double B;
};

}  // namespace

// The part of v that the fit of A, X and Y cannot take: v - D (P v).
static void leave_fundamental(const plane_numbers &m, double *v) {
    const int n = m.count;
    double s[3] = {0, 0, 0};
    for (int r = 0; r < 3; r++)
        for (int k = 0; k < n; k++) s[r] += m.solve[r][k] * v[k];
    for (int k = 0; k < n; k++) v[k] -= s[0] + s[1] * m.cos_theta[k] - s[2] * m.sin_theta[k];
}

static void residual_of(const plane_numbers &m, const fitted_pixel &p, residual *out) {
    const int n = m.count;
    out->B = hypot(p.X, p.Y);
    const double inverse = out->B > 0 ? 1 / out->B : 0;
    for (int k = 0; k < n; k++) {
        out->r[k] = p.I[k] - (p.A + p.X * m.cos_theta[k] - p.Y * m.sin_theta[k]);
        // cos and sin of (phase + theta_k), then their powers by recurrence.
        const double c1 = (p.X * m.cos_theta[k] - p.Y * m.sin_theta[k]) * inverse,
                     s1 = (p.X * m.sin_theta[k] + p.Y * m.cos_theta[k]) * inverse;
        double c = c1, s = s1;
        for (int h = 2; h <= LAST_HARMONIC; h++) {
            const double next_c = c * c1 - s * s1;
            s = s * c1 + c * s1, c = next_c;
            if (h < FIRST_HARMONIC) continue;
            const int t = 2 * (h - FIRST_HARMONIC);
            out->g[t][k] = out->B * c, out->g[t + 1][k] = out->B * s;
        }
    }
    for (int t = 0; t < TERMS; t++) leave_fundamental(m, out->g[t]);
}

// Solves the symmetric system a x = b through its eigenvalues, leaving out
// the directions the data do not fix (harmonics that alias onto the
// fundamental, or onto each other, with these steps).
static void solve_symmetric(const double *a, const double *b, int n, double *x) {
    double work[TERMS * TERMS], values[TERMS], vectors[TERMS * TERMS];
    memcpy(work, a, sizeof(double) * n * n);
    symmetric_eigen(work, n, values, vectors);
    for (int i = 0; i < n; i++) x[i] = 0;
    for (int e = 0; e < n; e++) {
        if (!(values[e] > 1e-9 * values[0])) continue;
        double along = 0;
        for (int i = 0; i < n; i++) along += vectors[e * n + i] * b[i];
        for (int i = 0; i < n; i++) x[i] += vectors[e * n + i] * along / values[e];
    }
}

// The fringe amplitude of each frame: its samples against 1, A, B cos phase
// and B sin phase over the sample; a frame that carries the fringes as the
// others do gives 1.
static void frame_amplitudes(const double v_moments[4][4], const double frame_moments[][4],
                             int n, double *amplitude) {
    double x[4];
    for (int k = 0; k < n; k++) {
        solve_symmetric(&v_moments[0][0], frame_moments[k], 4, x);
        amplitude[k] = hypot(x[2], x[3]);
    }
}

// The positions of the pairs: pixel (x, y) and (x + 1, y).
template <typename Visit>
static void each_pair(const sample_frames &f, Visit visit) {
    const int rows = f.height < SAMPLE_ROWS ? f.height : SAMPLE_ROWS;
    const int pairs = f.width - 1 < PAIRS_A_ROW ? f.width - 1 : PAIRS_A_ROW;
    for (int j = 0; j < rows; j++)
        for (int i = 0; i < pairs; i++)
            visit((int)((long long)i * (f.width - 1) / pairs),
                  (int)((long long)(2 * j + 1) * f.height / (2 * rows)));
}

misfit_measure measure_misfit(const sample_frames &f, const phaze_report &report,
                              const quality_limits &limits) {
    misfit_measure result = {NAN, NAN, -1};
    plane_numbers m;
    const int n = f.count;
    if (n < 4 || steps_of_report(report, &m)) return result;
    // The first pass: the harmonics' normal equations, the frames' amplitudes.
    double gg[TERMS * TERMS] = {}, gr[TERMS] = {}, vv[4][4] = {}, vi[MAX_FRAMES][4] = {},
           sum_b = 0, circle[5] = {};
    long long pairs = 0;
    fitted_pixel p[2];
    residual r[2];
    each_pair(f, [&](int x, int y) {
        if (fit_pixel(f, m, limits, x, y, &p[0]) || fit_pixel(f, m, limits, x + 1, y, &p[1]))
            return;
        pairs++;
        for (int j = 0; j < 2; j++) {
            residual_of(m, p[j], &r[j]);
            for (int a = 0; a < TERMS; a++)
                for (int k = 0; k < n; k++) {
                    for (int b = a; b < TERMS; b++) gg[a * TERMS + b] += r[j].g[a][k] * r[j].g[b][k];
                    gr[a] += r[j].g[a][k] * r[j].r[k];
                }
            const double v[4] = {1, p[j].A, p[j].X, p[j].Y};
            for (int a = 0; a < 4; a++) {
                for (int b = 0; b < 4; b++) vv[a][b] += v[a] * v[b];
                for (int k = 0; k < n; k++) vi[k][a] += v[a] * p[j].I[k];
            }
            sum_b += r[j].B;
            if (r[j].B > 0) {
                const double c = p[j].X / r[j].B, s = p[j].Y / r[j].B;
                circle[0] += c, circle[1] += s, circle[2] += c * c, circle[3] += s * s,
                    circle[4] += c * s;
            }
        }
    });
    if (pairs < MIN_PAIRS || !(sum_b > 0)) return result;
    for (int a = 0; a < TERMS; a++)
        for (int b = 0; b < a; b++) gg[a * TERMS + b] = gg[b * TERMS + a];
    double harmonics[TERMS];
    solve_symmetric(gg, gr, TERMS, harmonics);
    // The second pass: what is left once the harmonics are taken out, and the
    // part of it that neighbours share.
    double shared = 0;
    each_pair(f, [&](int x, int y) {
        if (fit_pixel(f, m, limits, x, y, &p[0]) || fit_pixel(f, m, limits, x + 1, y, &p[1]))
            return;
        double left[2][MAX_FRAMES];
        for (int j = 0; j < 2; j++) {
            residual_of(m, p[j], &r[j]);
            for (int k = 0; k < n; k++) {
                left[j][k] = r[j].r[k];
                for (int t = 0; t < TERMS; t++) left[j][k] -= harmonics[t] * r[j].g[t][k];
            }
        }
        for (int k = 0; k < n; k++) shared += left[0][k] * left[1][k];
    });
    const double mean_b = sum_b / (2.0 * pairs);
    result.unexplained = sqrt(fmax(shared / ((double)n * pairs), 0)) / mean_b;
    double amplitude[MAX_FRAMES], sorted[MAX_FRAMES];
    frame_amplitudes(vv, vi, n, amplitude);
    memcpy(sorted, amplitude, sizeof(double) * n);
    std::sort(sorted, sorted + n);
    const double median = n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    result.weakest_frame = (int)(std::min_element(amplitude, amplitude + n) - amplitude);
    // Over phases that do not go round the circle, the harmonics lean on the
    // fundamental differently in each frame: the amplitudes tell nothing there.
    const double count = 2.0 * pairs, mc = circle[0] / count, ms = circle[1] / count;
    const double cc = circle[2] / count - mc * mc, ss = circle[3] / count - ms * ms,
                 cs = circle[4] / count - mc * ms;
    const double spread = ((cc + ss) / 2 - sqrt((cc - ss) * (cc - ss) / 4 + cs * cs)) / 0.5;
    result.weakest = median > 0 && spread >= MIN_PHASE_SPREAD_FOR_AMPLITUDES
                         ? amplitude[result.weakest_frame] / median
                         : NAN;
    return result;
}

}  // namespace phaze_internal
