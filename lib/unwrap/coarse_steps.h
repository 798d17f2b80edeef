// The steps of a coarse set whose phase goes round less than a turn or two:
// there its frames cannot show them (an ellipse needs the phases spread round
// it), but a finer set of the same scene can, since it sees the same
// coordinate: its phase, unwrapped in space and scaled by the periods' ratio,
// is the coarse phase but for a constant, against which each frame's step is
// fitted.
#pragma once

#include "method/samples.h"

namespace phaze_internal {

// phase, valid: the finer set's wrapped phase and mask; ratio: its period over
// the coarse set's. theta: the coarse frames' steps (theta_k of I_k = A + B
// cos(phi + theta_k), phi the scaled finer phase). 0, or 1 when too few pixels
// tell.
int steps_from_finer_phase(const sample_frames &coarse, const double *phase,
                           const unsigned char *valid, double ratio, double *theta);

}  // namespace phaze_internal
