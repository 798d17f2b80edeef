#include "model/harmonics.h"

#include <math.h>
#include <string.h>

#include <algorithm>
#include <complex>
#include <vector>

#include "model/patch_grid.h"


namespace phaze_internal {

static const double TWO_PI = 6.283185307179586, PI = 3.141592653589793;
static const int K = RIPPLE_NODES;
static const int MIN_TRIPLES = 1000, MIN_HALF_TRIPLES = 200;
// How strongly e is held smooth where few triples tell (over the mean of the
// normal equations' diagonal); it hardly moves e where they do.
static const double SMOOTHING = 1e-3;
// Below this rms there is no ripple worth removing.
static const double LEAST_RIPPLE = 1e-3;

static double wrap(double angle) { return angle - TWO_PI * floor((angle + PI) / TWO_PI); }

namespace {

// Normal equations of e at the K nodes: a K x K matrix and a right side.
struct normal_equations {
    std::vector<double> a = std::vector<double>((size_t)K * K, 0.0), b = std::vector<double>(K, 0.0);
    long long count = 0;
};

}  // namespace

// The two nodes about angle q and their weights, for linear interpolation.
static void nodes_of(double q, int *j0, int *j1, double *w0, double *w1) {
    double at = q * (K / TWO_PI);  // the phases lie in [0, 2 pi], or close
    at += at < 0 ? K : 0;
    at -= at >= K ? K : 0;
    int j = (int)at;
    j = j < 0 ? 0 : j >= K ? K - 1 : j;
    *j0 = j, *j1 = j + 1 < K ? j + 1 : 0, *w1 = at - j, *w0 = 1 - *w1;
}

// Adds one triple's equation e(r) - 2 e(m) + e(l) = y.
static void add_triple(const phase_triple &t, double y, normal_equations *n) {
    int node[6];
    double weight[6];
    nodes_of(t.left, &node[0], &node[1], &weight[0], &weight[1]);
    nodes_of(t.middle, &node[2], &node[3], &weight[2], &weight[3]);
    nodes_of(t.right, &node[4], &node[5], &weight[4], &weight[5]);
    weight[2] *= -2, weight[3] *= -2;
    for (int i = 0; i < 6; i++) {
        n->b[node[i]] += weight[i] * y;
        double *row = &n->a[(size_t)node[i] * K];
        for (int j = 0; j < 6; j++) row[node[j]] += weight[i] * weight[j];
    }
    n->count++;
}

// Solves (a + smoothing + gauge) e = b by Cholesky: the smoothing is the sum
// of e's squared second differences round the turn, the gauge holds e's mean
// at 0 (the equations see no constant). e then has its mean taken out.
static void solve_ripple(const normal_equations &n, double *e) {
    double trace = 0;
    for (int j = 0; j < K; j++) trace += n.a[(size_t)j * K + j];
    const double scale = trace > 0 ? trace / K : 1, smooth = SMOOTHING * scale, gauge = scale / K;
    std::vector<double> m(n.a);
    for (int j = 0; j < K; j++) {
        const int offsets[5] = {-2, -1, 0, 1, 2};
        const double penalty[5] = {1, -4, 6, -4, 1};
        for (int o = 0; o < 5; o++) m[(size_t)j * K + (j + offsets[o] + K) % K] += smooth * penalty[o];
        for (int i = 0; i < K; i++) m[(size_t)j * K + i] += gauge;
    }
    // m = L L^T, L in the lower triangle of m.
    for (int j = 0; j < K; j++) {
        double d = m[(size_t)j * K + j];
        for (int k = 0; k < j; k++) d -= m[(size_t)j * K + k] * m[(size_t)j * K + k];
        d = sqrt(fmax(d, 1e-300));
        m[(size_t)j * K + j] = d;
        for (int i = j + 1; i < K; i++) {
            double v = m[(size_t)i * K + j];
            for (int k = 0; k < j; k++) v -= m[(size_t)i * K + k] * m[(size_t)j * K + k];
            m[(size_t)i * K + j] = v / d;
        }
    }
    double z[K];
    for (int i = 0; i < K; i++) {
        double v = n.b[i];
        for (int k = 0; k < i; k++) v -= m[(size_t)i * K + k] * z[k];
        z[i] = v / m[(size_t)i * K + i];
    }
    for (int i = K - 1; i >= 0; i--) {
        double v = z[i];
        for (int k = i + 1; k < K; k++) v -= m[(size_t)k * K + i] * e[k];
        e[i] = v / m[(size_t)i * K + i];
    }
    double mean = 0;
    for (int i = 0; i < K; i++) mean += e[i] / K;
    for (int i = 0; i < K; i++) e[i] -= mean;
}

static double rms_of(const double *e) {
    double sum = 0;
    for (int i = 0; i < K; i++) sum += e[i] * e[i];
    return sqrt(sum / K);
}

// Each part of the turn (each node's interval) is visited by this share of
// what an even spread would give at least.
static const double MIN_VISITS = 0.05, MIN_FRINGES_ACROSS = 2;

int ripple_from_triples(const scene_triples &scene, harmonic_ripple *r) {
    const std::vector<phase_triple> &triples = scene.triples;
    memset(r, 0, sizeof *r);
    r->outcome = PHAZE_RIPPLE_TOO_FEW_FRINGES;
    r->disagreement = INFINITY;
    if (!(scene.fringes_across >= MIN_FRINGES_ACROSS)) return 1;
    std::vector<long long> visits(K, 0);
    for (const phase_triple &t : triples)
        for (double q : {t.left, t.middle, t.right}) {
            int j0, j1;
            double w0, w1;
            nodes_of(q, &j0, &j1, &w0, &w1);
            visits[j0]++;
        }
    for (long long v : visits)
        if (v < MIN_VISITS * 3.0 * triples.size() / K) return 1;
    // The second differences; edges of objects make outliers far beyond the
    // typical, which are left out, along rows and along columns each by its
    // own typical size (fringes across x barely change down the columns).
    std::vector<double> y(triples.size()), sizes[2];
    for (size_t i = 0; i < triples.size(); i++) {
        const phase_triple &t = triples[i];
        y[i] = wrap(t.right - t.middle) - wrap(t.middle - t.left);
        sizes[t.down].push_back(fabs(y[i]));
    }
    if (triples.size() < (size_t)MIN_TRIPLES) return 1;
    double limits[2] = {0, 0};
    for (int d = 0; d < 2; d++)
        if (!sizes[d].empty()) {
            std::nth_element(sizes[d].begin(), sizes[d].begin() + sizes[d].size() / 2,
                             sizes[d].end());
            limits[d] = 5 * sizes[d][sizes[d].size() / 2] + 1e-12;
        }
    // The whole scene's equations and its halves', each in one task so that
    // the sums do not depend on the threads.
    // Six tasks: the whole scene's equations, the right half's and the bottom
    // half's, each from the first and the second half of the triples; the
    // left and top halves' are the whole's less those. Added in a fixed order.
    normal_equations part[6], all, halves[4];  // halves: left, right, top, bottom
    const size_t middle = triples.size() / 2;
#pragma omp parallel for schedule(static, 1)
    for (int task = 0; task < 6; task++)
        for (size_t i = task % 2 ? middle : 0; i < (task % 2 ? triples.size() : middle); i++) {
            const phase_triple &t = triples[i];
            if (!(fabs(y[i]) < limits[t.down])) continue;
            if (task / 2 == 0 || (task / 2 == 1 && t.right_half) || (task / 2 == 2 && t.bottom_half))
                add_triple(t, y[i], &part[task]);
        }
    const auto sum = [](const normal_equations &a, const normal_equations &b, double sign,
                        normal_equations *to) {
        for (size_t i = 0; i < a.a.size(); i++) to->a[i] = a.a[i] + sign * b.a[i];
        for (size_t i = 0; i < a.b.size(); i++) to->b[i] = a.b[i] + sign * b.b[i];
        to->count = a.count + (long long)sign * b.count;
    };
    sum(part[0], part[1], 1, &all);
    sum(part[2], part[3], 1, &halves[1]);
    sum(part[4], part[5], 1, &halves[3]);
    sum(all, halves[1], -1, &halves[0]);
    sum(all, halves[3], -1, &halves[2]);
    if (all.count < MIN_TRIPLES) return 1;
    solve_ripple(all, r->e);
    r->e[K] = r->e[0];
    r->rms = rms_of(r->e);
    // The halves must find one ripple; a pair of halves that too few triples
    // tell (an object on one side) is not asked.
    double worst = -1;
    for (int pair = 0; pair < 2; pair++) {
        const normal_equations &a = halves[2 * pair], &b = halves[2 * pair + 1];
        if (a.count < MIN_HALF_TRIPLES || b.count < MIN_HALF_TRIPLES) continue;
        double ea[K], eb[K], d[K];
        solve_ripple(a, ea), solve_ripple(b, eb);
        for (int i = 0; i < K; i++) d[i] = ea[i] - eb[i];
        worst = fmax(worst, rms_of(d));
    }
    r->disagreement = worst >= 0 && r->rms > 0 ? worst / r->rms : INFINITY;
    r->removable = r->rms >= LEAST_RIPPLE && r->disagreement < 1;
    for (int j = 0; r->removable && j <= RIPPLE_TABLE; j++) {
        const double at = (double)j * K / RIPPLE_TABLE;
        const int below = j == RIPPLE_TABLE ? K - 1 : (int)at;
        r->table[j] = r->e[below] + (at - below) * (r->e[below + 1] - r->e[below]);
    }
    r->outcome = r->rms < LEAST_RIPPLE  ? PHAZE_RIPPLE_NONE
                 : r->removable         ? PHAZE_RIPPLE_REMOVED
                                        : PHAZE_RIPPLE_UNCONFIRMED;
    return 0;
}

// Without branches or calls, so that it runs in vector registers (AVX2 where
// the processor has it, gathering e's nodes).
__attribute__((target_clones("avx2", "default"))) void correct_block(const harmonic_ripple &r,
                                                                     double *__restrict phase,
                                                                     int n) {
    const double scale = RIPPLE_TABLE / TWO_PI, *__restrict e = r.table;
    for (int i = 0; i < n; i++) {
        const double q = phase[i];
        const bool in_turn = (q >= 0) & (q <= TWO_PI);  // NaN where masked
        double p = q - e[(int)((in_turn ? q : 0) * scale + 0.5)];
        p += p < 0 ? TWO_PI : 0;
        p -= p >= TWO_PI ? TWO_PI : 0;
        p = (p >= 0) & (p < TWO_PI) ? p : 0;
        phase[i] = in_turn ? p : q;
    }
}

void remove_ripple(const harmonic_ripple &r, double *phase, long long n) {
    const long long CHUNK = 1 << 14;
#pragma omp parallel for schedule(static)
    for (long long start = 0; start < n; start += CHUNK)
        correct_block(r, phase + start, (int)(n - start < CHUNK ? n - start : CHUNK));
}

// ---- the model around the corrected phase ----

// Harmonics of the phase each frame is fitted against, patch by patch, and
// how large patches are: in fringes, and in samples at most.
static const int FIT_HARMONICS = 3, FIT_TERMS = 1 + 2 * FIT_HARMONICS;
static const double PATCH_FRINGES = 2;
static const long long FIT_SAMPLES = 1 << 14;

// The phase's mean change a pixel along x and y, over a coarse grid.
static double fringe_density(const double *phase, int width, int height) {
    const int stride = (int)fmax(1, sqrt((double)width * height / 8192));
    double along_x = 0, along_y = 0, nx = 0, ny = 0;
    for (int y = 0; y + 1 < height; y += stride)
        for (int x = 0; x + 1 < width; x += stride) {
            const double *p = phase + (size_t)y * width + x;
            if (isnan(p[0])) continue;
            if (!isnan(p[1])) along_x += fabs(wrap(p[1] - p[0])), nx++;
            if (!isnan(p[width])) along_y += fabs(wrap(p[width] - p[0])), ny++;
        }
    return hypot(nx > 0 ? along_x / nx : 0, ny > 0 ? along_y / ny : 0);
}

// Each frame's step (as e^(i theta), weighted) from one patch: its samples
// against 1 and cos and sin of h times the phase, h = 1 to FIT_HARMONICS, where
// the patch's phases go round the turn. 0, or 1 when the patch does not tell.
static int patch_steps(const sample_frames &f, const double *phase, const unsigned char *mask,
                       int x0, int x1, int y0, int y1, int stride, std::complex<double> *z,
                       double *weight) {
    const int n = f.count;
    double g[FIT_TERMS * FIT_TERMS] = {}, r[MAX_FRAMES][FIT_TERMS] = {}, c1 = 0, s1 = 0, count = 0;
    double samples[MAX_FRAMES];
    for (int y = y0; y < y1; y += stride)
        for (int x = x0; x < x1; x += stride) {
            const size_t i = (size_t)y * f.width + x;
            if (isnan(phase[i]) || (mask != NULL && !mask[i])) continue;
            load_block(f, (long long)i, 1, samples, 1);
            double v[FIT_TERMS];
            v[0] = 1;
            const double c = cos(phase[i]), s = sin(phase[i]);
            double ch = c, sh = s;
            for (int h = 1; h <= FIT_HARMONICS; h++) {
                v[2 * h - 1] = ch, v[2 * h] = sh;
                const double next = ch * c - sh * s;
                sh = sh * c + ch * s, ch = next;
            }
            for (int a = 0; a < FIT_TERMS; a++) {
                for (int b = 0; b <= a; b++) g[a * FIT_TERMS + b] += v[a] * v[b];
                for (int k = 0; k < n; k++) r[k][a] += v[a] * samples[k];
            }
            c1 += c, s1 += s, count++;
        }
    if (count < 4 * FIT_TERMS || hypot(c1, s1) > 0.3 * count) return 1;
    // g = L L^T by Cholesky; a patch whose phases leave it singular does not tell.
    for (int j = 0; j < FIT_TERMS; j++) {
        double d = g[j * FIT_TERMS + j];
        for (int k = 0; k < j; k++) d -= g[j * FIT_TERMS + k] * g[j * FIT_TERMS + k];
        if (!(d > 1e-9 * count)) return 1;
        d = sqrt(d);
        g[j * FIT_TERMS + j] = d;
        for (int i = j + 1; i < FIT_TERMS; i++) {
            double v = g[i * FIT_TERMS + j];
            for (int k = 0; k < j; k++) v -= g[i * FIT_TERMS + k] * g[j * FIT_TERMS + k];
            g[i * FIT_TERMS + j] = v / d;
        }
    }
    double amplitude = 0;
    for (int k = 0; k < n; k++) {
        double z_[FIT_TERMS], coefficient[FIT_TERMS];
        for (int i = 0; i < FIT_TERMS; i++) {
            double v = r[k][i];
            for (int j = 0; j < i; j++) v -= g[i * FIT_TERMS + j] * z_[j];
            z_[i] = v / g[i * FIT_TERMS + i];
        }
        for (int i = FIT_TERMS - 1; i >= 0; i--) {
            double v = z_[i];
            for (int j = i + 1; j < FIT_TERMS; j++) v -= g[j * FIT_TERMS + i] * coefficient[j];
            coefficient[i] = v / g[i * FIT_TERMS + i];
        }
        // b cos p + c sin p = B cos(p + theta): b = B cos theta, c = -B sin theta.
        z[k] = std::complex<double>(coefficient[1], -coefficient[2]);
        amplitude += std::abs(z[k]) / n;
    }
    *weight = amplitude > 0 ? count / amplitude : 0;
    return !(amplitude > 0);
}

// The steps theta_k of I_k = A + B cos(phase + theta_k): each patch's, turned
// to frame 1's there, and their mean; frame 1's own from the patches'
// agreement on it. 0, or 1 when no patch tells.
static int patch_fitted_steps(const sample_frames &f, const double *phase,
                              const unsigned char *mask, double *theta) {
    const int n = f.count;
    const double density = fringe_density(phase, f.width, f.height);
    const double side = density > 0 ? PATCH_FRINGES * TWO_PI / density : f.width;
    const int across = (int)fmax(1, fmin(64, floor(f.width / side))),
              down = (int)fmax(1, fmin(64, floor(f.height / side)));
    const int patches = across * down;
    const int stride = (int)fmax(1, floor(sqrt((double)f.width * f.height / FIT_SAMPLES)));
    std::vector<std::complex<double>> relative((size_t)patches * MAX_FRAMES), first(patches);
    std::vector<double> weights(patches, 0.0);
#pragma omp parallel for schedule(dynamic)
    for (int j = 0; j < patches; j++) {
        const patch_span p = patch_of(j, across, down, f.width, f.height);
        std::complex<double> z[MAX_FRAMES];
        double weight = 0;
        if (patch_steps(f, phase, mask, p.x0, p.x1, p.y0, p.y1, stride, z, &weight)) continue;
        const std::complex<double> turn = std::conj(z[0]) / std::abs(z[0]);
        for (int k = 0; k < n; k++) relative[(size_t)j * MAX_FRAMES + k] = z[k] * turn;
        first[j] = z[0] / std::abs(z[0]), weights[j] = weight;
    }
    std::complex<double> sum[MAX_FRAMES], sum_first = 0;
    double total = 0;
    for (int j = 0; j < patches; j++) {  // in the patches' order, whatever the threads
        for (int k = 0; k < n; k++) sum[k] += weights[j] * relative[(size_t)j * MAX_FRAMES + k];
        sum_first += weights[j] * first[j], total += weights[j];
    }
    if (!(total > 0)) return 1;
    const double offset = std::arg(sum_first);
    for (int k = 0; k < n; k++) theta[k] = offset + (k == 0 ? 0 : std::arg(sum[k]));
    return 0;
}

static const int BLOCK = 256, FIT_BLOCKS = 64;  // blocks of pixels A and B are taken over

void refit_model(const sample_frames &f, const double *phase, const unsigned char *mask,
                 const double *known_theta, phaze_report *report) {
    const int n = f.count;
    double theta[MAX_FRAMES];
    if (known_theta != NULL)
        for (int k = 0; k < n; k++) theta[k] = known_theta[k];
    else if (patch_fitted_steps(f, phase, mask, theta))
        return;  // the first fit stays
    // A and B of each pixel of the sample by least squares, and the residual.
    double cos_theta[MAX_FRAMES], sin_theta[MAX_FRAMES];
    for (int k = 0; k < n; k++) cos_theta[k] = cos(theta[k]), sin_theta[k] = sin(theta[k]);
    const long long pixels = (long long)f.width * f.height, blocks = (pixels + BLOCK - 1) / BLOCK,
                    stride = blocks > FIT_BLOCKS ? blocks / FIT_BLOCKS : 1;
    double sum_a = 0, sum_b = 0, sum_r2 = 0, count = 0;
    std::vector<double> samples((size_t)MAX_FRAMES * BLOCK);
    for (long long block = 0; block < blocks; block += stride) {
        const long long start = block * BLOCK;
        const int in_block = (int)(pixels - start < BLOCK ? pixels - start : BLOCK);
        load_block(f, start, in_block, samples.data(), BLOCK);
        for (int j = 0; j < in_block; j++) {
            const double p = phase[start + j];
            if (isnan(p) || (mask != NULL && !mask[start + j])) continue;
            const double cp = cos(p), sp = sin(p);
            double sg = 0, sgg = 0, si = 0, sig = 0;
            for (int k = 0; k < n; k++) {
                const double gk = cp * cos_theta[k] - sp * sin_theta[k], I = samples[k * BLOCK + j];
                sg += gk, sgg += gk * gk, si += I, sig += I * gk;
            }
            const double B = (n * sig - sg * si) / (n * sgg - sg * sg), A = (si - B * sg) / n;
            for (int k = 0; k < n; k++) {
                const double d = samples[k * BLOCK + j] - A -
                                 B * (cp * cos_theta[k] - sp * sin_theta[k]);
                sum_r2 += d * d;
            }
            sum_a += A, sum_b += B, count++;
        }
    }
    if (!(count > 0)) return;
    if (known_theta == NULL) {
        for (int k = 0; k < n; k++) {
            double step = theta[k] - theta[0];
            step -= TWO_PI * floor(step / TWO_PI);
            report->steps[k] = k == 0 || step >= TWO_PI ? 0 : step;
        }
        report->phase_offset = wrap(theta[0]);
    }
    report->background = sum_a / count;
    report->modulation = sum_b / count;
    report->residual_rms = sqrt(sum_r2 / (n * count));
}

}  // namespace phaze_internal
