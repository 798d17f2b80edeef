// What an engine's caller says when the frames hold no phase: the points form
// no ellipse (moments_form_ellipse). The fixed programs print it, the library
// returns it.
#pragma once

namespace phaze_internal {

#define NO_PHASE_MESSAGE                                                                    \
    "The frames hold no phase: their points form no ellipse (two frames are equal, or the " \
    "fringes have no modulation)"

}  // namespace phaze_internal
