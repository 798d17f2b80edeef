#include "shared/result_names.h"

#include "shared/file_places.h"

const char *const RESULT_SUFFIXES[RESULT_KINDS] = {
    "_phase.tiff", "_modulation.tiff", "_mask.png",   "_phase.png",  "_report.json", "_phase.npy",
    "_phase.txt",  "_unwrapped.tiff",  "_points.ply", "_depth.tiff", "_xyz.tiff"};

bool result_wanted(const run_options &o, int kind) {
    const bool points = !o.calibration.empty();
    const bool wanted[RESULT_KINDS] = {
        o.tiff,         o.tiff, o.png,    o.png,           o.json,
        o.npy,          o.txt,  o.unwrap, points && o.ply, points && o.depth,
        points && o.xyz};
    return wanted[kind];
}

std::string result_replacing_frame(const run_options &o, const std::vector<std::string> &prefixes,
                                   const std::vector<std::string> &frames) {
    std::vector<std::string> results;
    for (const std::string &prefix : prefixes)
        for (int k = 0; k < RESULT_KINDS; k++)
            if (result_wanted(o, k)) results.push_back(prefix + RESULT_SUFFIXES[k]);
    int result = 0;
    const int frame = replaced_input(results, frames, &result);
    return frame < 0
               ? ""
               : "the result " + results[result] + " would replace the frame " + frames[frame];
}
