// A sample of the pixels with their least-squares fit for the steps found:
// what the checks of the result (the misfit, the fringe pattern's shape from
// place to place) read, whatever engine made the phase.
#pragma once

#include "engines/plane_engine.h"
#include "method/samples.h"
#include "phaze/phaze.h"

namespace phaze_internal {

// One pixel of the sample: its samples, and A, X = B cos phase, Y = B sin
// phase of I_k = A + X cos theta_k - Y sin theta_k.
struct fitted_pixel {
    int x, y;
    double I[MAX_FRAMES];
    double A, X, Y;
};

// The report's steps as the fit's theta_k (phase_offset + steps[k]): 0, or 1
// when they are not all finite or do not determine A, X and Y.
int steps_of_report(const phaze_report &report, plane_numbers *numbers);

// Fits pixel (x, y): 0, or 1 when a sample is not finite or is at the
// saturation level, or the pixel's modulation is below the threshold.
int fit_pixel(const sample_frames &frames, const plane_numbers &numbers,
              const quality_limits &limits, int x, int y, fitted_pixel *pixel);

}  // namespace phaze_internal
