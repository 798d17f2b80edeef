// The frames' model around the phase: the steps (a least-squares fit of each
// frame against cos and sin of the phase), each pixel's background and
// modulation (the three equations solved with those steps), the mask and the
// residual of the samples about the model.
#pragma once

#include "engine/cpu_engine.h"
#include "engine/samples.h"
#include "phaze/phaze.h"

struct quality_limits {
    double min_modulation, saturation;
};

// The CPU engine's second pass and the model, in two passes over the samples:
// the phase is made in the first, and each pixel's cos and sin come from its
// levelled point rather than from the phase.
void phase_and_quality(const sample_frames &frames, const shared_numbers &shared,
                       const quality_limits &limits, double *phase, float *modulation,
                       unsigned char *mask, phaze_report *report);

// Both fill modulation and mask (either may be NULL) and the report's steps,
// phase_offset, background, modulation, masked_fraction and residual_rms; the
// phase of a masked pixel becomes NaN.

// The model around a phase made elsewhere (the CUDA engine, or the engine on
// a cleaned copy of the frames).
void estimate_quality(const sample_frames &frames, const quality_limits &limits, double *phase,
                      float *modulation, unsigned char *mask, phaze_report *report);

// The largest finite sample of the three frames (0 when none).
double largest_sample(const sample_frames &frames);

// 1 when no pixel's samples spread by min_modulation or more: frames without
// fringes, where a fully masked result is the answer rather than a failure.
int no_modulation_anywhere(const sample_frames &frames, double min_modulation);

// Above this share of the modulation, the residual says the frames are not
// three views of one fringe pattern: a dropped frame, one from another set, or
// fringes clipped at both ends. Real three-frame captures stay below 0.05 (30
// degree steps and a projector's harmonics included); one frame at half its
// brightness reaches 0.09, a black one 0.19.
constexpr double MAX_RESIDUAL_SHARE = 0.075;

// How smoothly the phase runs along the rows: the mean cosine of its second
// differences over a sample of rows, from -1 to 1. Fringes give nearly 1 at any
// period of two pixels or more; noise gives 0. NaN when too few valid pixels.
double phase_order(const double *phase, int width, int height);
// Below this the phase is noise: a phase error of about 0.9 rad a pixel.
constexpr double MIN_PHASE_ORDER = 0.1;
