#include "tests/points_support.h"

#include <gtest/gtest.h>

using namespace phaze_internal;

calibration sample_rig() {
    calibration rig;
    std::string reason;
    EXPECT_EQ(read_calibration({SAMPLE_RIG}, &rig, &reason), 0) << reason;
    return rig;
}

scene_view sample_scene(scene_shape shape) {
    scene_options options;
    options.shape = shape;
    options.width = 640, options.height = 512;
    options.projector_width = 1024, options.projector_height = 768;
    scene_view view;
    std::string reason;
    EXPECT_EQ(render_scene(sample_rig(), options, &view, &reason), 0) << reason;
    return view;
}
