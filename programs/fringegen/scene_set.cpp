#include "fringegen/scene_set.h"

#include <math.h>
#include <stdio.h>

#include "shared/calibration.h"
#include "shared/image.h"
#include "shared/point_files.h"

using namespace phaze_internal;

static int failed_to_write(const std::string &path, const std::string &reason) {
    fprintf(stderr, "fringegen: can't write %s: %s\n", path.c_str(), reason.c_str());
    return 1;
}

static std::string frame_name(const scene_request &r, bool horizontal, size_t period, size_t step,
                              const char *extension) {
    return r.folder + "/" + (horizontal ? "h" : "v") + std::to_string(period + 1) + "_" +
           std::to_string(step + 1) + "." + extension;
}

static int write_samples(const std::string &path, int width, int height, int bits,
                         const std::vector<uint16_t> &samples) {
    image frame;
    frame.width = width, frame.height = height, frame.channels = 1;
    frame.format = bits == 16 ? PIXELS_U16 : PIXELS_U8;
    if (bits == 16) {
        const unsigned char *from = (const unsigned char *)samples.data();
        frame.data.assign(from, from + 2 * samples.size());
    } else {
        frame.data.assign(samples.begin(), samples.end());
    }
    std::string reason;
    if ((bits == 16 ? write_tiff(path.c_str(), frame, &reason)
                    : write_png(path.c_str(), frame, &reason)) != 0)
        return failed_to_write(path, reason);
    return 0;
}

static int write_truth(const scene_request &r, const scene_view &view) {
    point_image points;
    points.width = view.width, points.height = view.height, points.xyz = view.xyz.data();
    std::vector<std::string> written;
    std::string file, reason;
    if (write_point_files(r.folder + "/truth", POINTS_DEPTH | POINTS_XYZ, points, &written, &file,
                          &reason) != 0)
        return failed_to_write(file, reason);
    for (int k = 0; k < 2; k++) {
        const std::string path = r.folder + (k == 0 ? "/truth_column.tiff" : "/truth_row.tiff");
        const std::vector<double> &values = k == 0 ? view.column : view.row;
        std::vector<float> single(values.begin(), values.end());
        if (write_tiff_samples(path.c_str(), view.width, view.height, PIXELS_F32, single.data(),
                               &reason) != 0)
            return failed_to_write(path, reason);
    }
    return 0;
}

int write_scene_set(const scene_request &r) {
    calibration rig;
    std::string reason;
    if (read_calibration(r.calibration, &rig, &reason) != 0) {
        fprintf(stderr, "fringegen: %s\n", reason.c_str());
        return 1;
    }
    scene_view view;
    if (render_scene(rig, r.scene, &view, &reason) != 0) {
        fprintf(stderr, "fringegen: %s\n", reason.c_str());
        return 1;
    }
    std::vector<uint16_t> samples((size_t)view.width * view.height);
    unsigned frame = 0;
    for (int direction = 0; direction < 2; direction++) {
        const bool horizontal = direction == 1;
        if (!(horizontal ? r.horizontal : r.vertical)) continue;
        for (size_t j = 0; j < r.periods.size(); j++)
            for (size_t k = 0; k < r.steps.size(); k++) {
                render_fringe_frame(view, horizontal, r.periods[j], r.steps[k], r.light, frame++,
                                    samples.data());
                const std::string path =
                    frame_name(r, horizontal, j, k, r.light.bits == 16 ? "tiff" : "png");
                if (write_samples(path, view.width, view.height, r.light.bits, samples) != 0)
                    return 1;
            }
    }
    if (r.truth && write_truth(r, view) != 0) return 1;
    long long lit = 0;
    for (double c : view.column) lit += isfinite(c);
    printf("fringegen: %d x %d frames of a %s at %g, %.1f%% of the pixels lit, in %s\n", view.width,
           view.height,
           r.scene.shape == SCENE_PLANE    ? "plane"
           : r.scene.shape == SCENE_SPHERE ? "sphere"
                                           : "step",
           view.distance, 100.0 * lit / (double)view.column.size(), r.folder.c_str());
    return 0;
}

int write_projector_patterns(const scene_request &r, int width, int height) {
    std::vector<unsigned char> levels((size_t)width * height);
    for (int direction = 0; direction < 2; direction++) {
        const bool horizontal = direction == 1;
        if (!(horizontal ? r.horizontal : r.vertical)) continue;
        for (size_t j = 0; j < r.periods.size(); j++)
            for (size_t k = 0; k < r.steps.size(); k++) {
                render_projector_pattern(width, height, horizontal, r.periods[j], r.steps[k],
                                         levels.data());
                image pattern;
                pattern.width = width, pattern.height = height, pattern.channels = 1;
                pattern.format = PIXELS_U8;
                pattern.data.assign(levels.begin(), levels.end());
                const std::string path = frame_name(r, horizontal, j, k, "png");
                std::string reason;
                if (write_png(path.c_str(), pattern, &reason) != 0)
                    return failed_to_write(path, reason);
            }
    }
    printf("fringegen: %d x %d projector patterns in %s\n", width, height, r.folder.c_str());
    return 0;
}
