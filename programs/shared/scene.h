// A known surface (a plane, a sphere before a wall, a step) seen by the camera
// of a calibrated rig and lit by its projector: what each camera pixel sees
// and which projector pixel lights it, exactly, for rendering fringes and for
// checking the points made from them.
#pragma once

#include <string>
#include <vector>

#include "shared/calibration.h"

namespace phaze_internal {

enum scene_shape { SCENE_PLANE, SCENE_SPHERE, SCENE_STEP };

struct scene_options {
    scene_shape shape = SCENE_PLANE;
    int width = 0, height = 0;                      // the camera's image
    int projector_width = 0, projector_height = 0;  // the projector's image
    // From the camera to the object's centre along the camera's axis; 0: where
    // the rays through the two images' centres pass closest.
    double distance = 0;
};

// Row-major over the camera's image. xyz: three doubles a pixel, the first
// surface point on the pixel's ray in camera coordinates, NaN where the ray
// meets nothing. column, row: the projector pixel that lights it, NaN where
// no light reaches it (a shadow, a surface turned from the projector, outside
// the projector's image).
struct scene_view {
    int width = 0, height = 0;
    double distance = 0;  // the distance used
    std::vector<double> xyz, column, row;
};

// 0, or 1 with *reason (no default distance for the rig, sizes not above 0).
int render_scene(const calibration &rig, const scene_options &options, scene_view *view,
                 std::string *reason);

// The scene's names: "plane", "sphere", "step". False for any other.
bool scene_shape_of(const std::string &name, scene_shape *shape);

}  // namespace phaze_internal
