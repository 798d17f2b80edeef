#include "model/harmonics.h"

#include "math/solve3.h"

#include <math.h>
#include <string.h>

#include <algorithm>
#include <vector>

namespace phaze_internal {

static const double TWO_PI = 6.283185307179586, PI = 3.141592653589793;

// Pixels of the histogram's sample, and rows and columns of the smoothness test.
static const long long HISTOGRAM_PIXELS = 1 << 17;
static const int TEST_LINES = 32, TEST_POINTS = 512;  // lines each way, triples a line

static double wrap(double angle) { return angle - TWO_PI * floor((angle + PI) / TWO_PI); }

// Linear interpolation in a table of RIPPLE_TABLE + 1 values over [0, 2 pi].
static inline double table_at(const double *table, double angle) {
    if (!isfinite(angle)) return NAN;  // a masked pixel; converting it to an index is undefined
    double at = angle * (RIPPLE_TABLE / TWO_PI);
    at -= RIPPLE_TABLE * floor(at / RIPPLE_TABLE);
    int i = (int)at;
    if (i >= RIPPLE_TABLE) i = RIPPLE_TABLE - 1;
    const double f = at - i;
    return table[i] + f * (table[i + 1] - table[i]);
}

struct trig_tables {
    double cos_of[RIPPLE_TABLE + 1], sin_of[RIPPLE_TABLE + 1];
    trig_tables() {
        for (int i = 0; i <= RIPPLE_TABLE; i++)
            cos_of[i] = cos(TWO_PI * i / RIPPLE_TABLE), sin_of[i] = sin(TWO_PI * i / RIPPLE_TABLE);
    }
};
static const trig_tables &trig() {
    static const trig_tables tables;
    return tables;
}

// The ripple from the histogram: for a density (1 + sum a_m cos mq + b_m sin mq)
// / 2 pi, the cumulative distribution is q / 2 pi plus the integral of the
// series, and phi = 2 pi F(psi) gives e = -sum (a_m sin mq - b_m (cos mq - 1)) / m.
struct moments {
    double c[RIPPLE_TERMS] = {}, s[RIPPLE_TERMS] = {}, n = 0;
    void add(const moments &o) {
        for (int m = 0; m < RIPPLE_TERMS; m++) c[m] += o.c[m], s[m] += o.s[m];
        n += o.n;
    }
    // e's terms: cos_term[m] cos (m + 1) q + sin_term[m] sin (m + 1) q.
    void terms(double *cos_term, double *sin_term) const {
        for (int m = 0; m < RIPPLE_TERMS; m++)
            cos_term[m] = 2 * s[m] / n / (m + 1), sin_term[m] = -2 * c[m] / n / (m + 1);
    }
};

// The rms over the turn of the difference of two ripples' series.
static double rms_apart(const moments &a, const moments &b) {
    double ac[RIPPLE_TERMS], as[RIPPLE_TERMS], bc[RIPPLE_TERMS], bs[RIPPLE_TERMS], square = 0;
    a.terms(ac, as), b.terms(bc, bs);
    for (int m = 0; m < RIPPLE_TERMS; m++)
        square += ((ac[m] - bc[m]) * (ac[m] - bc[m]) + (as[m] - bs[m]) * (as[m] - bs[m])) / 2;
    return sqrt(square);
}

static int histogram_ripple(const double *phase, int width, int height, harmonic_ripple *r) {
    const long long pixels = (long long)width * height,
                    stride = pixels > HISTOGRAM_PIXELS ? pixels / HISTOGRAM_PIXELS : 1;
    // The whole frame, and its left, right, top and bottom halves: a ripple
    // that is in the phase is the same in every part of the scene, one that
    // comes from how the scene's phases are spread is not.
    // In CHUNKS chunks of the sample, added in their order whatever the threads.
    const int CHUNKS = 64;
    std::vector<moments> chunk_all(CHUNKS), chunk_part(4 * CHUNKS);
    const long long samples = (pixels + stride - 1) / stride;
#pragma omp parallel for schedule(static)
    for (int chunk = 0; chunk < CHUNKS; chunk++)
        for (long long j = samples * chunk / CHUNKS; j < samples * (chunk + 1) / CHUNKS; j++) {
            const long long i = j * stride;
            if (isnan(phase[i])) continue;
            const double c1 = cos(phase[i]), s1 = sin(phase[i]);
            moments *in[3] = {&chunk_all[chunk],
                              &chunk_part[4 * chunk + ((i % width) * 2 < width ? 0 : 1)],
                              &chunk_part[4 * chunk + ((i / width) * 2 < height ? 2 : 3)]};
            double cm = c1, sm = s1;
            for (int m = 0; m < RIPPLE_TERMS; m++) {  // cos and sin of (m + 1) psi by recurrence
                for (moments *to : in) to->c[m] += cm, to->s[m] += sm;
                const double next_c = cm * c1 - sm * s1;
                sm = sm * c1 + cm * s1, cm = next_c;
            }
            for (moments *to : in) to->n += 1;
        }
    moments all, part[4];
    for (int chunk = 0; chunk < CHUNKS; chunk++) {
        all.add(chunk_all[chunk]);
        for (int h = 0; h < 4; h++) part[h].add(chunk_part[4 * chunk + h]);
    }
    if (all.n < 1000 || part[0].n < 100 || part[1].n < 100 || part[2].n < 100 || part[3].n < 100)
        return 1;
    all.terms(r->cos_term, r->sin_term);
    double square = 0;
    for (int m = 0; m < RIPPLE_TERMS; m++)
        square += (r->cos_term[m] * r->cos_term[m] + r->sin_term[m] * r->sin_term[m]) / 2;
    r->rms = sqrt(square);
    r->disagreement = r->rms > 0
                          ? fmax(rms_apart(part[0], part[1]), rms_apart(part[2], part[3])) / r->rms
                          : INFINITY;
#pragma omp parallel for schedule(static)
    for (int i = 0; i <= RIPPLE_TABLE; i++) {
        const double q = TWO_PI * i / RIPPLE_TABLE, c1 = cos(q), s1 = sin(q);
        double e = 0, cm = c1, sm = s1;
        for (int m = 0; m < RIPPLE_TERMS; m++) {  // cos and sin of (m + 1) q by recurrence
            e += r->cos_term[m] * cm + r->sin_term[m] * sm;
            const double next_c = cm * c1 - sm * s1;
            sm = sm * c1 + cm * s1, cm = next_c;
        }
        r->e[i] = e;
    }
    return 0;
}

// The triples (l, c, r) of valid phases s pixels apart along rows and columns.
template <typename Visit>
static void each_triple(const double *phase, int width, int height, int s, Visit visit) {
    const int row_step = height > TEST_LINES ? height / TEST_LINES : 1,
              column_step = width > TEST_LINES ? width / TEST_LINES : 1,
              along_rows = width > TEST_POINTS ? width / TEST_POINTS : 1,
              along_columns = height > TEST_POINTS ? height / TEST_POINTS : 1;
    for (int y = 0; y < height; y += row_step)
        for (int x = s; x + s < width; x += along_rows) {
            const double *p = phase + (size_t)y * width + x;
            if (!isnan(p[-s]) && !isnan(p[0]) && !isnan(p[s])) visit(p[-s], p[0], p[s]);
        }
    const long long d = (long long)s * width;
    for (int x = 0; x < width; x += column_step)
        for (int y = s; y + s < height; y += along_columns) {
            const double *p = phase + (size_t)y * width + x;
            if (!isnan(p[-d]) && !isnan(p[0]) && !isnan(p[d])) visit(p[-d], p[0], p[d]);
        }
}

// The spacing at which neighbours differ by about 0.8 rad: second differences
// of a ripple grow with the square of the spacing, those of noise do not.
static int test_spacing(const double *phase, int width, int height) {
    std::vector<double> steps;
    each_triple(phase, width, height, 1,
                [&](double l, double c, double) { steps.push_back(fabs(wrap(c - l))); });
    if (steps.empty()) return 1;
    std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
    const double step = steps[steps.size() / 2];
    const int limit = std::max(1, std::min(width, height) / 4);
    return step > 0.8 / limit ? std::max(1, std::min(limit, (int)lround(0.8 / step))) : limit;
}

int estimate_ripple(const double *phase, int width, int height, harmonic_ripple *r) {
    memset(r, 0, sizeof *r);
    if (histogram_ripple(phase, width, height, r)) return 1;
    const int s = test_spacing(phase, width, height);
    // Regress the phase's second differences on those of e: y = t x.
    std::vector<double> y, x;
    each_triple(phase, width, height, s, [&](double l, double c, double rr) {
        y.push_back(wrap(rr - c) - wrap(c - l));
        x.push_back(table_at(r->e, rr) - 2 * table_at(r->e, c) + table_at(r->e, l));
    });
    if (y.size() < 1000) return 1;
    // Edges of objects make outliers: leave out what is far beyond the typical.
    std::vector<double> sizes(y.size());
    for (size_t i = 0; i < y.size(); i++) sizes[i] = fabs(y[i]);
    std::nth_element(sizes.begin(), sizes.begin() + sizes.size() / 2, sizes.end());
    const double limit = 5 * sizes[sizes.size() / 2] + 1e-12;
    double xy = 0, xx = 0, yy = 0, n = 0;
    for (size_t i = 0; i < y.size(); i++)
        if (fabs(y[i]) < limit) xy += x[i] * y[i], xx += x[i] * x[i], yy += y[i] * y[i], n++;
    if (!(xx > 0) || n < 1000) return 1;
    r->evidence = xy / xx;
    const double residual = fmax(yy - 2 * r->evidence * xy + r->evidence * r->evidence * xx, 0);
    const double error = sqrt(residual / (n - 1) / xx);
    r->z = error > 0 ? r->evidence / error : INFINITY;
    // Removing e lowers the second differences when the factor passes 1/2:
    // real ripples give 0.6 to 1, phases spread unevenly about 0. And the
    // halves of the scene must show one ripple: on real three-frame captures
    // they differ by 0.2 to 0.7 of it, where the phases' spread makes most
    // of it by 1.1 and more (four-frame captures, pure sinusoids).
    r->removable = r->evidence >= 0.5 && r->evidence <= 1.5 && r->z >= 20 && r->rms >= 1e-3 &&
                   r->disagreement < 1.0;
    return 0;
}

void remove_ripple(const harmonic_ripple &r, double *phase, long long pixels) {
    const double scale = RIPPLE_TABLE / TWO_PI;
#pragma omp parallel for schedule(static)
    for (long long i = 0; i < pixels; i++) {
        const double q = phase[i];
        if (!(q >= 0 && q <= TWO_PI)) continue;  // NaN where masked; the phase lies in [0, 2 pi]
        const double at = q * scale;
        const int k = at < RIPPLE_TABLE ? (int)at : RIPPLE_TABLE - 1;
        double p = q - (r.e[k] + (at - k) * (r.e[k + 1] - r.e[k]));
        p += p < 0 ? TWO_PI : p >= TWO_PI ? -TWO_PI : 0;
        phase[i] = p >= 0 && p < TWO_PI ? p : 0;
    }
}

// ---- the model around the corrected phase ----

static const int BLOCK = 256, FIT_BLOCKS = 256;  // blocks of pixels the refit reads

// The valid pixels of FIT_BLOCKS blocks spread over the frame: cos p, sin p,
// then the n samples, one pixel after another.
static std::vector<double> fit_sample(const sample_frames &f, const double *phase,
                                      const unsigned char *mask) {
    const int n = f.count;
    const long long pixels = (long long)f.width * f.height, blocks = (pixels + BLOCK - 1) / BLOCK,
                    stride = blocks > FIT_BLOCKS ? blocks / FIT_BLOCKS : 1;
    const trig_tables &t = trig();
    std::vector<double> fit;
    double samples[MAX_FRAMES * BLOCK];
    for (long long b = 0; b < blocks; b += stride) {
        const long long first = b * BLOCK;
        const int count = (int)(pixels - first < BLOCK ? pixels - first : BLOCK);
        load_block(f, first, count, samples, BLOCK);
        for (int j = 0; j < count; j++) {
            const double p = phase[first + j];
            if (isnan(p) || (mask != NULL && !mask[first + j])) continue;
            fit.push_back(table_at(t.cos_of, p)), fit.push_back(table_at(t.sin_of, p));
            for (int k = 0; k < n; k++) fit.push_back(samples[k * BLOCK + j]);
        }
    }
    return fit;
}

void refit_model(const sample_frames &f, const double *phase, const unsigned char *mask,
                 phaze_report *report) {
    const int n = f.count;
    const std::vector<double> fit = fit_sample(f, phase, mask);
    const size_t width = (size_t)n + 2, count = fit.size() / width;
    // Each frame against cos and sin of the phase, one background and
    // amplitude a frame: I_k = a_k + b_k cos p + c_k sin p. (Each pixel's own,
    // by alternating least squares, let the harmonics bias the steps more on
    // real captures.)
    double g[3][3] = {}, r[MAX_FRAMES][3] = {}, theta[MAX_FRAMES] = {};
    for (size_t i = 0; i < count; i++) {
        const double *q = &fit[i * width], v[3] = {1, q[0], q[1]};
        for (int a = 0; a < 3; a++) {
            for (int c = 0; c < 3; c++) g[a][c] += v[a] * v[c];
            for (int k = 0; k < n; k++) r[k][a] += v[a] * q[2 + k];
        }
    }
    for (int k = 0; k < n; k++) {
        double abc[3] = {0, 0, 0};
        if (count < 3 || !solve3(g, r[k], abc)) return;  // the first fit stays
        theta[k] = atan2(-abc[2], abc[1]);               // b cos p + c sin p = B cos(p + theta)
    }
    // A and B of each pixel of the sample by least squares, and the residual.
    double sum_a = 0, sum_b = 0, sum_r2 = 0, cos_theta[MAX_FRAMES], sin_theta[MAX_FRAMES];
    for (int k = 0; k < n; k++) cos_theta[k] = cos(theta[k]), sin_theta[k] = sin(theta[k]);
    for (size_t i = 0; i < count; i++) {
        const double *q = &fit[i * width], cp = q[0], sp = q[1];
        double sg = 0, sgg = 0, si = 0, sig = 0;
        for (int k = 0; k < n; k++) {
            const double gk = cp * cos_theta[k] - sp * sin_theta[k];
            sg += gk, sgg += gk * gk, si += q[2 + k], sig += q[2 + k] * gk;
        }
        const double B = (n * sig - sg * si) / (n * sgg - sg * sg), A = (si - B * sg) / n;
        for (int k = 0; k < n; k++) {
            const double d = q[2 + k] - A - B * (cp * cos_theta[k] - sp * sin_theta[k]);
            sum_r2 += d * d;
        }
        sum_a += A, sum_b += B;
    }
    report->frame_count = n;
    for (int k = 0; k < n; k++) {
        double step = theta[k] - theta[0];
        step -= TWO_PI * floor(step / TWO_PI);
        report->steps[k] = k == 0 || step >= TWO_PI ? 0 : step;
    }
    report->phase_offset = theta[0];
    report->background = sum_a / count;
    report->modulation = sum_b / count;
    report->residual_rms = sqrt(sum_r2 / (n * count));
}

}  // namespace phaze_internal
