// The engine for four frames or more. A pixel's N samples are a point in
// N-space; less their mean, all points lie in one plane, on one ellipse there
// (scaled by each pixel's modulation). The plane is the two dominant directions
// of the points' second moments; the map that makes the ellipse a circle gives
// a first phase, and alternating least squares (the steps from the phases, the
// phases from the steps) refine the steps until they no longer move. Every
// pixel's phase is then its least-squares angle with those steps.
#pragma once

#include "method/samples.h"

namespace phaze_internal {

struct plane_numbers {
    int count;
    double theta[MAX_FRAMES];  // the steps, theta[0] = 0, in [0, 2 pi)
    double cos_theta[MAX_FRAMES], sin_theta[MAX_FRAMES];
    // (A, B cos phase, B sin phase) of a pixel = solve * its samples.
    double solve[3][MAX_FRAMES];
};

// The steps from a sample of the pixels whose samples are usable. 0, or 1 when
// the points span no plane (no phase to find).
int find_plane_steps(const sample_frames &frames, const quality_limits &limits,
                     plane_numbers *numbers);

// The least-squares map of a pixel's samples to (A, B cos phase, B sin phase)
// for the steps in numbers (theta, cos_theta and sin_theta filled): 0, or 1
// when the steps do not determine it.
int least_squares_map(plane_numbers *numbers);

}  // namespace phaze_internal
