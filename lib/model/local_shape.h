// Whether the frames show one fringe pattern across the scene: the test that
// three frames allow, where a pixel's three samples fit any phase.
//
// Each pixel's (A, B cos phase, B sin phase) comes from the steps found for
// the whole scene. Where a frame is moved, flipped, or from another scene or
// period, its step differs from place to place, and so does the ellipse the
// points lie on: mapped with the scene's one ellipse, a patch of several
// fringes then has points on an ellipse of its own, whose second moments,
// B^2 e^(2i phase) summed over the patch, no longer vanish. Patches of fewer
// fringes are left out: their phases do not go round the circle evenly.
#pragma once

#include "method/samples.h"
#include "phaze/phaze.h"

namespace phaze_internal {

// The rms over the patches of the vector sum B^2 e^(2i phase) / sum B^2 about
// its mean (what all patches share is the scene's one ellipse), each patch
// weighted by its valid pixels; 0 when fewer than 8 patches of two fringes or
// more tell. Real captures give up to 0.035; a frame moved by 3 px or more,
// flipped, or from another scene or period 0.11 and more.
double shape_variation(const sample_frames &frames, const phaze_report &report,
                       const quality_limits &limits);

constexpr double MAX_SHAPE_VARIATION = 0.07;

}  // namespace phaze_internal
