#include "method/frame_checks.h"

#include <math.h>
#include <string.h>

namespace phaze_internal {

static long long pixel_count(const sample_frames &f) { return (long long)f.width * f.height; }

// Pixels a block of the parallel passes.
static const int BLOCK_PIXELS = 256;

// visit(I, n) for each pixel of the block from start, I its n samples; blocks
// spread over the threads by the caller.
template <typename Visit>
static void each_pixel_of_block(const sample_frames &f, long long start, Visit visit) {
    const long long pixels = pixel_count(f);
    const int count = (int)(pixels - start < BLOCK_PIXELS ? pixels - start : BLOCK_PIXELS);
    double block[MAX_FRAMES * BLOCK_PIXELS];
    load_block(f, start, count, block, BLOCK_PIXELS);
    for (int j = 0; j < count; j++) {
        double I[MAX_FRAMES];
        for (int k = 0; k < f.count; k++) I[k] = block[k * BLOCK_PIXELS + j];
        visit(I, f.count);
    }
}

long long finite_pixels(const sample_frames &f) {
    long long found = 0;
#pragma omp parallel for schedule(static) reduction(+ : found)
    for (long long start = 0; start < pixel_count(f); start += BLOCK_PIXELS)
        each_pixel_of_block(f, start, [&](const double *I, int n) {
            int finite = 1;
            for (int k = 0; k < n; k++) finite &= isfinite(I[k]) != 0;
            found += finite;
        });
    return found;
}

std::vector<double> finite_copy(const sample_frames &f, sample_frames *copy) {
    const size_t pixels = (size_t)pixel_count(f);
    std::vector<double> samples(3 * pixels);
#pragma omp parallel for schedule(static)
    for (int y = 0; y < f.height; y++)
        visit_pixels(f, (long long)y * f.width, f.width,
                     [&](long long k, double a, double b, double c) {
                         const size_t i = (size_t)y * f.width + k;
                         const int finite = isfinite(a) && isfinite(b) && isfinite(c);
                         samples[i] = finite ? a : 0.0;
                         samples[pixels + i] = finite ? b : 0.0;
                         samples[2 * pixels + i] = finite ? c : 0.0;
                     });
    *copy = sample_frames{{samples.data(), samples.data() + pixels, samples.data() + 2 * pixels},
                          SAMPLES_F64,
                          f.width,
                          f.height,
                          f.width * sizeof(double)};
    return samples;
}

int two_frames_equal(const sample_frames &f, size_t row_bytes) {
    for (int j = 0; j < f.count; j++)
        for (int k = j + 1; k < f.count; k++) {
            int equal = 1;
            for (int y = 0; y < f.height && equal; y++) {
                const size_t offset = (size_t)y * f.row_stride;
                equal = memcmp((const char *)f.frame[j] + offset, (const char *)f.frame[k] + offset,
                               row_bytes) == 0;
            }
            if (equal) return 1;
        }
    return 0;
}

// The largest finite sample, as it is or as a magnitude.
static double largest(const sample_frames &f, bool magnitude) {
    double found = 0;
#pragma omp parallel for schedule(static) reduction(max : found)
    for (long long start = 0; start < pixel_count(f); start += BLOCK_PIXELS)
        each_pixel_of_block(f, start, [&](const double *I, int n) {
            for (int k = 0; k < n; k++) {
                const double v = magnitude ? fabs(I[k]) : I[k];
                if (isfinite(v) && v > found) found = v;
            }
        });
    return found;
}

double largest_sample(const sample_frames &f) { return largest(f, false); }

double largest_magnitude(const sample_frames &f) { return largest(f, true); }

int no_modulation_anywhere(const sample_frames &f, double min_modulation) {
    int flat = 1;
#pragma omp parallel for schedule(static) reduction(&& : flat)
    for (long long start = 0; start < pixel_count(f); start += BLOCK_PIXELS)
        each_pixel_of_block(f, start, [&](const double *I, int n) {
            double low = I[0], high = I[0];
            for (int k = 1; k < n; k++) low = fmin(low, I[k]), high = fmax(high, I[k]);
            if (high - low >= min_modulation) flat = 0;
        });
    return flat;
}

}  // namespace phaze_internal
