// Temporal unwrapping across fringe periods: wrapped phases of one scene at
// several periods, each from frames with steps of its own (so each with its
// own sign and constant, unless the steps were given), made one absolute phase
// of the finest period.
#pragma once

namespace phaze_internal {

struct temporal_outcome {
    long long masked;          // pixels masked: by a set, or where the periods disagree
    int coarsest_turns_over;   // 1: the coarsest phase goes round more than a turn
    int orders_unreliable;     // 1: a link from a coarser phase to a finer one is too rough
                               // for its ratio, or the periods disagree at many pixels
};

// phases[k] (radians) and masks[k] (nonzero where valid) of width x height
// pixels, periods[k] in any one unit (only their ratios matter; distinct).
// Without steps_known, each set's sign is turned to the finest one's by the
// agreement of their gradients (the finest phase growing to the right, or
// downward where its fringes lie along x), the coarsest phase (under one
// fringe across the scene) is centred on its circular mean, and each finer
// one's constant comes from its agreement with the scaled coarser one. With
// steps_known (each phase is phi of its frames' model, with one sign and no
// constant of its own), nothing is sought and the coarsest phase is taken in
// [0, 2 pi) as it is: the absolute phase is then 2 pi u / T of the finest
// period, for fringes A + B cos(2 pi u / T + delta_k) of a coordinate u >= 0.
// Close periods (ratios under 1.5) go through their beats. Each pixel's order
// is then checked against every period, and a nearby order that all of them
// agree on better taken. absolute: NaN where masked; mask (may be NULL): 0
// where a set is masked or the periods disagree beyond their noise.
temporal_outcome unwrap_temporal(const double *const *phases, const unsigned char *const *masks,
                                 int count, const double *periods, int width, int height,
                                 bool steps_known, double *absolute, unsigned char *mask);

// The fringes across the valid pixels of a wrapped phase: its mean change a
// pixel along its gradient, times the extent of the valid pixels that way,
// over 2 pi. A masked band across the fringes does not hide the fringes it
// holds.
double fringes_across(const double *phase, const unsigned char *valid, int width, int height);

}  // namespace phaze_internal
