// A result's 3-D points: each valid pixel's projector column from the
// absolute phase of the finest period (vertical fringes: u = phase T / 2 pi),
// its point through the calibration, and the point's gray from the finest
// set's background.
#pragma once

#include "shared/calibration.h"
#include "shared/set_reading.h"
#include "shared/set_results.h"

namespace phaze_internal {

// out holds the analysis's phase, modulation, mask and report (the finest
// set's, finest_period in projector pixels); fills out->xyz, out->gray and
// out->points. Throws std::bad_alloc where the memory runs out.
void make_set_points(const calibration &rig, const frame_set &finest, double finest_period,
                     set_outputs *out);

}  // namespace phaze_internal
