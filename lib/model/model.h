// The frames' model around the phase: the steps (a least-squares fit of each
// frame against cos and sin of the phase), each pixel's background and
// modulation (the three equations solved with those steps), the mask and the
// residual of the samples about the model.
#pragma once

#include "engines/cpu_engine.h"
#include "method/samples.h"
#include "model/harmonics.h"
#include "phaze/phaze.h"

namespace phaze_internal {

// Both fill modulation and mask (either may be NULL) and the report's steps,
// phase_offset, background, modulation, masked_fraction and residual_rms; the
// phase of a masked pixel becomes NaN.

// The model around the CPU engine's levelled points, with the engine's second
// pass: the phase is made as the model is, from the points of levelled_from
// (the frames themselves, or a copy in which non-finite samples are 0), and
// each pixel's cos and sin come from its point rather than from the phase.
// With ripple not NULL, the harmonic ripple is estimated from the phases of
// a sample (those masked for saturation included) before the phase is made,
// and taken out of it as it is made where the scene confirms it.
void phase_and_quality(const sample_frames &frames, const sample_frames &levelled_from,
                       const shared_numbers &shared, const quality_limits &limits, double *phase,
                       float *modulation, unsigned char *mask, phaze_report *report,
                       harmonic_ripple *ripple);

// The model around a phase made elsewhere (the CUDA engine); the ripple is
// estimated from the valid pixels' phase and taken out in a pass of its own.
void estimate_quality(const sample_frames &frames, const quality_limits &limits, double *phase,
                      float *modulation, unsigned char *mask, phaze_report *report,
                      harmonic_ripple *ripple);

}  // namespace phaze_internal
