// The background A of each pixel of a fringe set, the gray of its point: of
// I_k = A + B cos(phase + offsets[k]), the least-squares A given the phase
// and the modulation B.
#pragma once

#include "phaze/phaze.h"

namespace phaze_internal {

// Each pixel's A as 0 to 255, full_scale at 255 (at or below 0: the largest
// finite sample of the frames), rounded and clipped; 0 where the phase or the
// modulation is not finite. offsets: one a frame, as the report gives them
// (phase_offset + steps[k]).
void background_gray(const phaze_frames &frames, const double *phase, const float *modulation,
                     const double *offsets, double full_scale, unsigned char *gray);

}  // namespace phaze_internal
