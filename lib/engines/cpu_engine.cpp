#include "engines/cpu_engine.h"

#include <math.h>
#include <omp.h>

#include <vector>

#include "method/reference_points.h"

namespace phaze_internal {

// Pixels 0, 1 and 2 after the difference transform.
static reference_points first_differences(const sample_frames &f) {
    reference_points p;
    visit_pixels(f, 0, 3, [&](long long k, double x, double y, double z) {
        difference_point(x, y, z);
        p.x[k] = x, p.y[k] = y, p.z[k] = z;
    });
    return p;
}

// Pixels a block of the first pass: the levelled X and Y of one block stay in
// cache until their moments are added.
static const long long MOMENT_BLOCK = 16384;

int find_shared_numbers(const sample_frames &f, shared_numbers *shared) {
    const long long pixels = (long long)f.width * f.height;
    const levelling first = levelling_of(first_rotation_points(first_differences(f)));
    const long long blocks = (pixels + MOMENT_BLOCK - 1) / MOMENT_BLOCK;
    moment_sums sums = {0, 0, 0};
    // Made before the threads start: an allocation that fails inside a parallel
    // region cannot be caught, and would end the process.
    std::vector<double> buffers(2 * MOMENT_BLOCK * omp_get_max_threads());
#pragma omp parallel
    {
        double *X = buffers.data() + 2 * MOMENT_BLOCK * omp_get_thread_num(), *Y = X + MOMENT_BLOCK;
        // Blocks are levelled in parallel; their moments are added in ascending
        // order, one block after the other, as the serial sum adds them.
#pragma omp for ordered schedule(static, 1)
        for (long long b = 0; b < blocks; b++) {
            const long long start = b * MOMENT_BLOCK;
            const int count = (int)(pixels - start < MOMENT_BLOCK ? pixels - start : MOMENT_BLOCK);
            visit_pixels(f, start, count, [&](long long k, double x, double y, double z) {
                difference_point(x, y, z);
                level_point(first, x, y, z);
                X[k] = x, Y[k] = y;
            });
#pragma omp ordered
            add_moments(X, Y, 0, count, &sums);
        }
    }
    shared->first = first;
    shared->moments = sums;
    shared->projection = projection_from_moments(sums.SYY, sums.SXY, sums.SXX);
    if (!moments_form_ellipse(sums)) return 1;

    reference_points projected = first_differences(f);
    for (int k = 0; k < 3; k++) {
        level_point(first, projected.x[k], projected.y[k], projected.z[k]);
        project_point(shared->projection, projected.x[k], projected.y[k], projected.z[k]);
    }
    shared->second = levelling_of(second_rotation_points(projected, shared->projection));
    return 0;
}

int phase_of_pixels(const sample_frames &f, const shared_numbers &s, long long first,
                    long long count, double *phase) {
    int finite = 1;
    visit_levelled(f, s, first, count,
                   [&](long long k, double, double, double, double x, double y) {
                       phase[k] = polar_phase(x, y);
                       finite &= isfinite(phase[k]);
                   });
    return !finite;
}

// Vector instructions add and multiply each element exactly as scalar ones do;
// with contraction off no fused multiply-add enters, so either clone gives the
// same bits. (The clones stay inside this file: some compilers name them so that
// other files cannot reach them.)
__attribute__((target_clones("avx2", "default"))) static void level_block_clones(
    const shared_numbers &s, const double *a, const double *b, const double *c,
    double *__restrict x, double *__restrict y, int n) {
    if (s.projection.active) {
        for (int k = 0; k < n; k++) {
            double X = a[k], Y = b[k], Z = c[k];
            difference_point(X, Y, Z);
            level_point(s.first, X, Y, Z);
            project_point(s.projection, X, Y, Z);
            level_point(s.second, X, Y, Z);
            x[k] = X, y[k] = Y;
        }
    } else {
        for (int k = 0; k < n; k++) {
            double X = a[k], Y = b[k], Z = c[k];
            difference_point(X, Y, Z);
            level_point(s.first, X, Y, Z);
            level_point(s.second, X, Y, Z);
            x[k] = X, y[k] = Y;
        }
    }
}

void level_block(const shared_numbers &s, const double *a, const double *b, const double *c,
                 double *x, double *y, int n) {
    level_block_clones(s, a, b, c, x, y, n);
}

}  // namespace phaze_internal
