// The phase map into its two result files: phaze_cuda.bmp, a gray picture made
// through the 56-byte template bmp_header.bmp, and phaze_cuda.txt, every pixel's
// phase as a "%lf" line. Both are written together, a round of pixels at a time,
// from phases that may be made on the fly.
#pragma once

#include "shared/quantise_phase.h"

constexpr int PICTURE_HEADER_BYTES = 56;

// Gives the phases of count pixels from pixel first: a pointer to them, either
// buffer (room for count values) filled, or the caller's own array; NULL when
// one of them is not finite.
typedef const double *(*phase_source)(void *context, long long first, long long count,
                                      double *buffer);

// Writes both results; 0, or 1 after printing what failed. The results of an
// earlier run stay as they were unless both new ones are complete.
int write_results_from(phase_source source, void *context, int W, int H);

// The same from a whole phase array.
int write_results(const double *phase, int W, int H);
