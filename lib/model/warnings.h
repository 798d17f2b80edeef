// The report's warnings: results that were made but should not be trusted
// blindly, as bits, and the sentence of each.
#pragma once

#include "method/samples.h"
#include "phaze/phaze.h"

namespace phaze_internal {

// The sentence of one warning bit; "" for any other value.
const char *warning_text(unsigned warning);

// Checks the result against itself: most pixels masked, steps that leave the
// phase undetermined, a phase without spatial order.
void warn_of_doubtful_results(const double *phase, int width, int height, phaze_report *report);

// Whether the frames fit the fringe model, judged on the model as first
// fitted (before a ripple is taken out): PHAZE_WARN_MODEL_MISFIT and
// PHAZE_WARN_PATTERN_VARIES bits, or 0.
unsigned judge_fit(const sample_frames &frames, const phaze_report &report,
                   const quality_limits &limits);

// Above this share of the modulation, the residual of three frames says they
// are not views of one fringe pattern: a dropped frame, or fringes clipped at
// both ends. (A pixel's three samples fit any phase, so with three frames the
// residual is only that of the method's phase against the model's; real
// captures stay below 0.05, one frame at half its brightness reaches 0.09, a
// black one 0.19.)
constexpr double MAX_RESIDUAL_SHARE = 0.075;

// How evenly the steps spread round the circle: the smaller eigenvalue of the
// second moments of (cos step, sin step) about their mean, over N / 2. 1 for
// equal steps; near 0 for steps close together or in two groups half a turn
// apart, which fix cos phase but hardly sin phase.
double step_spread(const phaze_report &report);
// Below this the phase is several times as noisy as with steps spread evenly,
// or undetermined: steps 0, 30 and 60 degrees give 0.008, two steps 0.2 rad
// apart at most 0.015; 0, 150 and 180 degrees 0.088.
constexpr double MIN_STEP_SPREAD = 0.05;

// How smoothly the phase runs along the rows: the mean cosine of its second
// differences over a sample of rows, from -1 to 1. Fringes give nearly 1 at any
// period of two pixels or more; noise gives 0. NaN when too few valid pixels.
double phase_order(const double *phase, int width, int height);
// Below this the phase is noise: a phase error of about 0.9 rad a pixel.
constexpr double MIN_PHASE_ORDER = 0.1;

// Four frames of unknown steps: every conic through the four points of the
// steps fits their samples, and only phases spread evenly round the circle
// single out the steps. Rendered scenes under two fringes across leave their
// steps off by up to 30 degrees and the phase by 0.14 to 0.3 rad on a sphere
// (its phases bunched), 0.03 to 0.05 on a plane; from two to three fringes,
// 0.01 to 0.025 (noise alone: 0.008). Five frames fix the steps whatever the
// phases.
constexpr double MIN_FRINGES_FOR_FOUR_FRAMES = 2;

}  // namespace phaze_internal
