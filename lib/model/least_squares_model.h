// The phase and the model of four frames or more, in one pass over the
// samples: each pixel's A, B and phase by least squares over its N equations
// with the plane engine's steps, its residual, and the mask.
#pragma once

#include "engines/plane_engine.h"
#include "method/samples.h"
#include "model/harmonics.h"
#include "phaze/phaze.h"

namespace phaze_internal {

// Fills phase (NaN where masked), modulation and mask (either may be NULL) and
// the report's steps, phase_offset (0: the phase is frame 1's), background,
// modulation, masked_fraction and residual_rms.
// With ripple not NULL, the harmonic ripple is estimated first from the
// phases of a sample (those masked for saturation included), and taken out of
// the phase as it is made where the scene confirms it.
void least_squares_model(const sample_frames &frames, const plane_numbers &numbers,
                         const quality_limits &limits, double *phase, float *modulation,
                         unsigned char *mask, phaze_report *report, harmonic_ripple *ripple);

}  // namespace phaze_internal
