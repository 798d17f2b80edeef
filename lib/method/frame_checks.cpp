#include "method/frame_checks.h"

#include <math.h>
#include <string.h>

#include <initializer_list>

static long long pixel_count(const sample_frames &f) { return (long long)f.width * f.height; }

// Pixels a block of the parallel passes.
static const long long BLOCK = 1 << 14;

// visit(x, y, z) for every pixel, blocks spread over the threads.
template <typename Visit>
static void each_block(const sample_frames &f, long long start, Visit visit) {
    const long long pixels = pixel_count(f),
                    count = pixels - start < BLOCK ? pixels - start : BLOCK;
    visit_pixels(f, start, count, [&](long long, double x, double y, double z) { visit(x, y, z); });
}

long long finite_pixels(const sample_frames &f) {
    long long found = 0;
#pragma omp parallel for schedule(static) reduction(+ : found)
    for (long long start = 0; start < pixel_count(f); start += BLOCK)
        each_block(f, start, [&](double a, double b, double c) {
            found += isfinite(a) && isfinite(b) && isfinite(c);
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
    for (int j = 0; j < 3; j++)
        for (int k = j + 1; k < 3; k++) {
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

double largest_sample(const sample_frames &f) {
    double largest = 0;
#pragma omp parallel for schedule(static) reduction(max : largest)
    for (long long start = 0; start < pixel_count(f); start += BLOCK)
        each_block(f, start, [&](double x, double y, double z) {
            for (double v : {x, y, z})
                if (isfinite(v) && v > largest) largest = v;
        });
    return largest;
}

double largest_magnitude(const sample_frames &f) {
    double largest = 0;
#pragma omp parallel for schedule(static) reduction(max : largest)
    for (long long start = 0; start < pixel_count(f); start += BLOCK)
        each_block(f, start, [&](double x, double y, double z) {
            for (double v : {x, y, z})
                if (isfinite(v) && fabs(v) > largest) largest = fabs(v);
        });
    return largest;
}

int no_modulation_anywhere(const sample_frames &f, double min_modulation) {
    int flat = 1;
#pragma omp parallel for schedule(static) reduction(&& : flat)
    for (long long start = 0; start < pixel_count(f); start += BLOCK)
        each_block(f, start, [&](double x, double y, double z) {
            if (fmax(fmax(x, y), z) - fmin(fmin(x, y), z) >= min_modulation) flat = 0;
        });
    return flat;
}
