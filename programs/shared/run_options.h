// What one run asks for, the phaze command's or a Python call's: the frames
// and how they make sets, the analysis's options, the results wanted.
#pragma once

#include <string>
#include <vector>

#include "phaze/phaze.h"

enum colour_channel { CHANNEL_LUMA, CHANNEL_RED, CHANNEL_GREEN, CHANNEL_BLUE };

struct run_options {
    std::vector<std::string> frames;  // frames_per_set a set
    int frames_per_set = 3;
    std::vector<double> periods;  // --periods: sets a result, one at each period
    bool unwrap = false;
    std::string output;  // a prefix (one set) or a folder (several); empty: default
    bool tiff = true, png = true, json = true, npy = false, txt = false;
    // --calibration: one file, or OpenCV's stereo pair; empty: no points. The
    // point files are wanted only with it.
    std::vector<std::string> calibration;
    bool ply = true, depth = true, xyz = true;
    double min_modulation = -1, saturation = -1;  // below 0: the library's defaults
    colour_channel channel = CHANNEL_LUMA;
    phaze_device device = PHAZE_DEVICE_AUTO;
    phaze_harmonics harmonics = PHAZE_HARMONICS_DEFAULT;
    std::vector<double> steps;  // --steps, in radians; empty: estimated
    bool quiet = false;
};

// Frames that make one result: a set, or a set at each period.
inline size_t frames_per_result(const run_options &o) {
    return (size_t)o.frames_per_set * (o.periods.empty() ? 1 : o.periods.size());
}
