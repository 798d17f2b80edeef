// Temporal unwrapping across fringe periods: wrapped phases of one scene at
// several periods, each from frames with steps of its own (so each with its
// own sign and constant), made one absolute phase of the finest period.
#pragma once

namespace phaze_internal {

// phases[k] (radians) and masks[k] (nonzero where valid) of width x height
// pixels, periods[k] in any one unit (only their ratios matter; distinct).
// The signs are aligned from the directions of the phases' gradients (the
// finest phase growing to the right, or downward where its fringes lie along
// x), the coarsest phase is cut at the widest gap in its values, and each
// finer one's constant comes from its agreement with the scaled coarser one;
// close periods (ratios under 1.5) go through their beats. absolute: NaN where
// masked; mask (may be NULL): 0 where a set is masked or where the periods
// disagree by more than a quarter turn (an order error). Returns the pixels
// masked, or -1 when the coarsest phase covers the turn (more than one fringe
// across the scene: no gap to cut it at).
// With known (each set's steps were given, so each phase is phi of its
// frames' model, with one sign and no constant of its own), the signs and
// constants are not sought and the coarsest phase is taken in [0, 2 pi) as it
// is: the absolute phase is then 2 pi u / T of the finest period, for fringes
// A + B cos(2 pi u / T + delta_k) of a coordinate u >= 0.
long long unwrap_temporal(const double *const *phases, const unsigned char *const *masks, int count,
                          const double *periods, int width, int height, bool known,
                          double *absolute, unsigned char *mask);

}  // namespace phaze_internal
