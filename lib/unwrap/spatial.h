// Spatial unwrapping of a wrapped phase over its mask, guided by reliability
// (Herraez et al., Appl. Opt. 41(35), 2002): pixels are joined along the edges
// between neighbours in the order of how smooth the phase is around them, each
// join adding to one group the whole turns that bring it within pi of the
// other. Each connected valid region is unwrapped on its own, with a constant
// of its own.
#pragma once

namespace phaze_internal {

// phase: radians, NaN where not valid; mask (may be NULL): nonzero where valid;
// modulation (may be NULL): a further weight of each pixel's reliability.
// unwrapped: NaN where not valid; it may be the phase's own array. Returns the
// number of connected regions. The same result whatever the thread count.
int unwrap_spatial(const double *phase, const unsigned char *mask, const float *modulation,
                   int width, int height, double *unwrapped);

}  // namespace phaze_internal
