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
