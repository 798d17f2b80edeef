// Whether four frames or more fit the fringe model: what the model, with the
// harmonics of a projector's or camera's response, leaves unexplained, and
// whether every frame carries the fringes as strongly as the others.
//
// A non-sinusoidal profile puts the harmonics of each pixel's phase into the
// residual (with 90 degree steps, the second harmonic lands wholly there), the
// same function of the phase everywhere; a dropped, black or foreign frame
// leaves a residual that follows the scene instead. So the harmonics'
// share, fitted over the sample, is taken out first; and only what
// neighbouring pixels share counts, so that noise, which they do not share,
// is not taken for a misfit.
#pragma once

#include "method/samples.h"
#include "phaze/phaze.h"

namespace phaze_internal {

struct misfit_measure {
    double unexplained;  // rms of what the model leaves, over the mean modulation; NaN: untold
    double weakest;      // the smallest frame's fringe amplitude over the median frame's;
                         // NaN where the phases do not spread round the circle
    int weakest_frame;   // its index
};

// The measure of frames (four or more) and the report's steps and thresholds.
misfit_measure measure_misfit(const sample_frames &frames, const phaze_report &report,
                              const quality_limits &limits);

// Above these, the frames do not fit: real captures leave 0.02 to 0.04 of the
// modulation unexplained, a dropped or foreign frame 0.07 and more; a frame at
// half brightness carries half the fringes, a black or constant one none.
constexpr double MAX_UNEXPLAINED_SHARE = 0.065, MIN_FRAME_AMPLITUDE = 0.6;
// The smaller eigenvalue of the second moments of (cos, sin) of the sample's
// phases, over a full circle's 1/2: below it (under about 0.6 of a turn seen),
// the frames' amplitudes are not judged.
constexpr double MIN_PHASE_SPREAD_FOR_AMPLITUDES = 0.5;

}  // namespace phaze_internal
