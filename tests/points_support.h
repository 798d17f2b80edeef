// What the suites of calibrations, triangulation and point files share: the
// sample rig and scenes rendered through it.
#pragma once

#include <string>

#include "shared/calibration.h"
#include "shared/scene.h"

static const std::string SAMPLE_RIG = PHAZE_SOURCE_DIR "/docs/sample-rig.yml";

phaze_internal::calibration sample_rig();

// The sample rig's 640 x 512 camera and 1024 x 768 projector on a scene.
phaze_internal::scene_view sample_scene(phaze_internal::scene_shape shape);
