// fringegen's frames of a known scene seen by a calibrated rig, and the
// patterns its projector shows for them.
#pragma once

#include <string>
#include <vector>

#include "shared/scene.h"
#include "shared/scene_frames.h"

struct scene_request {
    std::string folder;
    std::vector<std::string> calibration;  // one file, or OpenCV's stereo pair
    phaze_internal::scene_options scene;
    std::vector<double> periods, steps;  // in projector pixels; radians
    bool vertical = true, horizontal = false;
    phaze_internal::fringe_light light;
    bool truth = false;
};

// FOLDER/vJ_K (vertical fringes) and hJ_K (horizontal) for period J and step
// K, counted from 1: 16-bit TIFF or 8-bit PNG as light.bits says; with truth,
// truth_depth.tiff, truth_xyz.tiff, truth_column.tiff and truth_row.tiff.
// 0, or 1 after saying what failed.
int write_scene_set(const scene_request &request);

// FOLDER/vJ_K.png and hJ_K.png as a width x height projector shows them.
int write_projector_patterns(const scene_request &request, int width, int height);
