// What the suites of calibrations, triangulation, point files and the command
// share: the sample rig, scenes rendered through it, and readers of point files.
#pragma once

#include <string>
#include <vector>

#include "shared/calibration.h"
#include "shared/scene.h"

static const std::string SAMPLE_RIG = PHAZE_SOURCE_DIR "/docs/sample-rig.yml";

phaze_internal::calibration sample_rig();

// The sample rig's 640 x 512 camera and 1024 x 768 projector on a scene.
phaze_internal::scene_view sample_scene(phaze_internal::scene_shape shape);

struct ply_vertex {
    float xyz[3];
    unsigned char gray;
};

// The vertices of a PLY file as the point writer lays it out: x, y, z as floats
// and, with gray, a gray byte. A header other than that fails the test.
std::vector<ply_vertex> read_ply(const std::string &path, bool gray = true);

// A float TIFF's samples, row after row: the reader of frames takes no xyz map.
std::vector<float> read_floats(const std::string &path);
