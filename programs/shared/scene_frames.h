// Fringe frames of a rendered scene, as the camera takes them, and the
// patterns a projector shows for them. Vertical fringes follow the projector's
// column u (OpenCV's pixel convention), horizontal ones its row v:
// level = (1 + cos(2 pi u / period + step)) / 2.
#pragma once

#include <stdint.h>

#include "shared/scene.h"

namespace phaze_internal {

struct fringe_light {
    double background = 128, contrast = 100;  // A and B: lit pixels span A - B to A + B
    double gamma = 1;                         // the projector's response: light = level^gamma
    double noise = 0;                         // the camera's, standard deviation in samples
    int bits = 8;                             // 8 or 16
    unsigned seed = 1;
};

// One frame: A - B + 2 B level^gamma where the projector lights the pixel,
// A - B (ambient light alone) elsewhere; noise added, rounded and clipped to
// the samples' range. frame numbers the frames of a run, each with noise of
// its own; the same on any number of threads.
void render_fringe_frame(const scene_view &view, bool horizontal, double period, double step,
                         const fringe_light &light, unsigned frame, uint16_t *samples);

// The 8-bit pattern of a width x height projector: round(255 level).
void render_projector_pattern(int width, int height, bool horizontal, double period, double step,
                              unsigned char *levels);

}  // namespace phaze_internal
