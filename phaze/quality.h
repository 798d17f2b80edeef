// The frames' model around the phase the engine found: the steps (a least-squares
// fit of each frame against cos and sin of the phase), each pixel's background
// and modulation (the three equations solved with those steps), the mask and
// the residual of the samples about the model.
#pragma once

#include "engine/samples.h"
#include "phaze/phaze.h"

struct quality_limits {
    double min_modulation, saturation;
};

// Fills modulation and mask (either may be NULL) and report's steps,
// phase_offset, background, modulation, masked_fraction and residual_rms;
// sets the phase of masked pixels to NaN.
void estimate_quality(const sample_frames &frames, const quality_limits &limits, double *phase,
                      float *modulation, unsigned char *mask, phaze_report *report);

// The largest finite sample of the three frames (0 when none).
double largest_sample(const sample_frames &frames);

// 1 when no pixel's samples spread by min_modulation or more: frames without
// fringes, where a fully masked result is the answer rather than a failure.
int no_modulation_anywhere(const sample_frames &frames, double min_modulation);
