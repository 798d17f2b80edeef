// The CPU engine: the whole method in two passes over the three frames' samples,
// OpenMP over blocks. A pixel's phase depends only on its own samples and on a
// few numbers all pixels share; the first pass finds those, the second makes
// phases. Every formula is device/kernel.h's and every shared number comes from
// the same functions and fallbacks as the kernel stages use, so the phase is bit
// for bit the stage engine's.
#pragma once

#include "math/kernel.h"
#include "method/moments.h"
#include "method/samples.h"

namespace phaze_internal {

struct shared_numbers {
    levelling first;      // lays the plane of the differences flat
    moment_sums moments;  // of the levelled points, serial and ascending
    circle_projection projection;
    levelling second;  // lays the projected plane flat
};

// The first pass. 0, or 1 when the points form no ellipse (no phase to find).
int find_shared_numbers(const sample_frames &frames, shared_numbers *shared);

// The second pass over count pixels from pixel first (row after row) into
// phase. 1 when a phase is not finite.
int phase_of_pixels(const sample_frames &frames, const shared_numbers &shared, long long first,
                    long long count, double *phase);

// Pixels a block of the levelled points: small enough to stay in the first
// cache, long enough that the loop over them runs in vector registers.
constexpr int LEVELLED_BLOCK = 256;

// The levelled points of n pixels from their samples, element by element: the
// same operations as one pixel at a time, so the same bits, in vector registers
// (AVX2 where the processor has it).
void level_block(const shared_numbers &s, const double *a, const double *b, const double *c,
                 double *x, double *y, int n);

// The second pass's points: visit(k, a, b, c, x, y) with a pixel's samples and
// its levelled point, whose polar angle (plus pi) is its phase.
template <typename Visit>
inline void visit_levelled(const sample_frames &frames, const shared_numbers &s, long long first,
                           long long count, Visit visit) {
    double a[LEVELLED_BLOCK], b[LEVELLED_BLOCK], c[LEVELLED_BLOCK], x[LEVELLED_BLOCK],
        y[LEVELLED_BLOCK];
    for (long long done = 0; done < count; done += LEVELLED_BLOCK) {
        const int n = (int)(count - done < LEVELLED_BLOCK ? count - done : LEVELLED_BLOCK);
        visit_pixels(frames, first + done, n, [&](long long k, double p, double q, double r) {
            a[k] = p, b[k] = q, c[k] = r;
        });
        level_block(s, a, b, c, x, y, n);
        for (int k = 0; k < n; k++) visit(done + k, a[k], b[k], c[k], x[k], y[k]);
    }
}

}  // namespace phaze_internal
