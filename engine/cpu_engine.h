// The CPU engine: the whole method in two passes over the three frames' samples,
// OpenMP over blocks. A pixel's phase depends only on its own samples and on a
// few numbers all pixels share; the first pass finds those, the second makes
// phases. Every formula is device/kernel.h's and every shared number comes from
// the same functions and fallbacks as the kernel stages use, so the phase is bit
// for bit the stage engine's.
#pragma once

#include "device/kernel.h"
#include "device/moments.h"
#include "engine/samples.h"

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

// The second pass's points: visit(k, a, b, c, x, y) with a pixel's samples and
// its levelled point, whose polar angle (plus pi) is its phase.
template <typename Visit>
inline void visit_levelled(const sample_frames &frames, const shared_numbers &s, long long first,
                           long long count, Visit visit) {
    visit_pixels(frames, first, count, [&](long long k, double a, double b, double c) {
        double x = a, y = b, z = c;
        difference_point(x, y, z);
        level_point(s.first, x, y, z);
        project_point(s.projection, x, y, z);
        level_point(s.second, x, y, z);
        visit(k, a, b, c, x, y);
    });
}
