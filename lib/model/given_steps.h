// Steps the caller knows: the model they give, and the frames' own steps
// measured against them.
#pragma once

#include "engines/plane_engine.h"
#include "method/samples.h"
#include "phaze/phaze.h"

namespace phaze_internal {

// The least-squares map of the given steps delta_k (absolute, not turned to
// frame 1's): each pixel's phase is then phi of I_k = A + B cos(phi + delta_k).
// 0, or 1 when the steps do not determine a phase.
int given_step_numbers(const double *steps, int count, plane_numbers *numbers);

// The frames' own steps, measured as the plane engine estimates them, turned
// to the given steps' sign and constant, into report->measured_steps (in the
// report's convention: from frame 1's, in [0, 2 pi)); NaN where the
// data cannot show them (under two fringes across the scene, or no plane of
// points is found). PHAZE_WARN_STEPS_DIFFER where they
// differ from the given ones by more than the noise and the harmonics explain.
void measure_given_steps(const sample_frames &frames, const quality_limits &limits,
                         const plane_numbers &given, phaze_report *report);

// Harmonics bias measured steps by up to 0.03 rad where a ripple is removed,
// 0.08 where it is not: a difference beyond this is the steps'.
constexpr double MAX_STEP_DIFFERENCE = 0.15;

}  // namespace phaze_internal
