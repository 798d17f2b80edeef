// The report's warnings: results that were made but should not be trusted
// blindly, as bits, and the sentence of each.
#pragma once

#include "phaze/phaze.h"

namespace phaze_internal {

// The sentence of one warning bit; "" for any other value.
const char *warning_text(unsigned warning);

// Checks the result against the model and the phase against itself: most
// pixels masked, steps close together, a residual too large for the
// modulation, a phase without spatial order.
void warn_of_doubtful_results(const double *phase, int width, int height, phaze_report *report);

// 1 when the residual is too large for the modulation (see below).
int model_misfit(const phaze_report &report);

// Above this share of the modulation, the residual says the frames are not
// views of one fringe pattern: a dropped frame, one from another set, or
// fringes clipped at both ends. Real three-frame captures stay below 0.05 (30
// degree steps and a projector's harmonics included); one frame at half its
// brightness reaches 0.09, a black one 0.19. With four frames or more the
// harmonics land in the residual: real captures give 0.10 to 0.12, a frame at
// half its brightness 0.20 to 0.24, a black one 0.34 and more.
constexpr double MAX_RESIDUAL_SHARE = 0.075, MAX_RESIDUAL_SHARE_MANY = 0.16;

// How smoothly the phase runs along the rows: the mean cosine of its second
// differences over a sample of rows, from -1 to 1. Fringes give nearly 1 at any
// period of two pixels or more; noise gives 0. NaN when too few valid pixels.
double phase_order(const double *phase, int width, int height);
// Below this the phase is noise: a phase error of about 0.9 rad a pixel.
constexpr double MIN_PHASE_ORDER = 0.1;

}  // namespace phaze_internal
