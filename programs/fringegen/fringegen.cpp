// fringegen: writes a folder of synthetic fringe frames that phaze can read:
// 2-D phase patterns, or a known scene seen through a calibrated rig.
#include <errno.h>
#include <getopt.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "fringegen/scene_set.h"
#include "shared/image.h"
#include "shared/frameset.h"

static const char *HELP =
    "usage: fringegen [options] FOLDER\n"
    "Synthetic phase-shifted fringe frames with a known phase, written into FOLDER.\n"
    "\n"
    "      --size WxH        frame size (512x512)\n"
    "      --pattern NAME    tilt, bump or random (tilt)\n"
    "      --steps A,B,C     the three phase steps in radians (0,2pi/3,4pi/3)\n"
    "      --period P        fringe period in pixels (32)\n"
    "      --angle R         direction of the fringes, radians (0.3)\n"
    "      --background A    mean intensity (128; 16-bit frames: 257 times it)\n"
    "      --contrast B      fringe amplitude (100; 16-bit frames: 257 times it)\n"
    "      --noise S         standard deviation of added noise (0)\n"
    "      --border N        dark border of N pixels (0)\n"
    "      --seed N          random seed (1)\n"
    "      --format F        bmp (the fixed layout: config.txt, bmp_header.bmp, I1-3.bmp),\n"
    "                        tiff (16-bit I1-3.tiff) or png (8-bit I1-3.png) (bmp)\n"
    "      --truth           also write the true phase to phase_true.txt\n"
    "\n"
    "A scene seen by a calibrated camera and lit by its projector's fringes:\n"
    "      --scene NAME      plane, sphere (before a wall) or step\n"
    "      --calibration F   the rig: one OpenCV FileStorage file (cam_K, cam_kc, proj_K,\n"
    "                        proj_kc, R, T) or OpenCV's stereo pair F1,F2 (M1, D1, M2, D2; R, T)\n"
    "      --size WxH        the camera's image (needed)\n"
    "      --projector-size WxH  the projector's image (needed)\n"
    "      --periods T1,...  fringe periods in projector pixels (--period)\n"
    "      --steps D1,...    3 to 32 phase steps in radians (0,2pi/3,4pi/3)\n"
    "      --fringes F       vertical (along the projector's columns), horizontal or both\n"
    "      --gamma G         the projector's response, light = level^G (1)\n"
    "      --distance D      camera to the object's centre, in the calibration's unit\n"
    "                        (where the two images' central rays meet)\n"
    "      --format F        tiff (16-bit, the default here) or png (8-bit)\n"
    "      --truth           also write truth_depth.tiff, truth_xyz.tiff, truth_column.tiff\n"
    "                        and truth_row.tiff\n"
    "  Frames: vJ_K and hJ_K for period J and step K, both counted from 1. A pixel gets\n"
    "  background - contrast + 2 contrast level^G where the projector lights it, level =\n"
    "  (1 + cos(2 pi u / T + step)), u its projector column (row for horizontal fringes),\n"
    "  and background - contrast where no light reaches it (shadows, outside the projector).\n"
    "      --patterns        instead, the 8-bit patterns a projector of --size shows for\n"
    "                        --periods, --steps and --fringes: round(255 level)\n"
    "\n"
    "  -h, --help            print this help\n";

static int usage_error(const std::string &message) {
    fprintf(stderr, "fringegen: %s\nTry 'fringegen --help' for more.\n", message.c_str());
    return 2;
}

static int parse_number(const char *text, double *value) {
    char *end = NULL;
    errno = 0;
    *value = strtod(text, &end);
    return end != text && *end == '\0' && errno == 0 && isfinite(*value);
}

static int one_of(const char *value, const char *a, const char *b, const char *c) {
    return strcmp(value, a) == 0 || strcmp(value, b) == 0 || strcmp(value, c) == 0;
}

// Comma-separated finite numbers, at least one.
static bool parse_list(const char *text, std::vector<double> *values) {
    values->clear();
    std::string item;
    for (const char *c = text;; c++) {
        if (*c != ',' && *c != '\0') {
            item += *c;
            continue;
        }
        double value;
        if (!parse_number(item.c_str(), &value)) return false;
        values->push_back(value);
        item.clear();
        if (*c == '\0') return true;
    }
}

static std::vector<std::string> split_paths(const char *text) {
    std::vector<std::string> paths(1);
    for (const char *c = text; *c != '\0'; c++)
        if (*c == ',')
            paths.emplace_back();
        else
            paths.back() += *c;
    return paths;
}

int main(int argc, char **argv) {
    enum {
        SIZE = 1000,
        PATTERN,
        STEPS,
        PERIOD,
        ANGLE,
        BACKGROUND,
        CONTRAST,
        NOISE,
        BORDER,
        SEED,
        FORMAT,
        TRUTH,
        SCENE,
        CALIBRATION,
        PROJECTOR_SIZE,
        PERIODS,
        FRINGES,
        GAMMA,
        DISTANCE,
        PATTERNS
    };
    static const struct option longs[] = {
        {"size", required_argument, NULL, SIZE},
        {"pattern", required_argument, NULL, PATTERN},
        {"steps", required_argument, NULL, STEPS},
        {"period", required_argument, NULL, PERIOD},
        {"angle", required_argument, NULL, ANGLE},
        {"background", required_argument, NULL, BACKGROUND},
        {"contrast", required_argument, NULL, CONTRAST},
        {"noise", required_argument, NULL, NOISE},
        {"border", required_argument, NULL, BORDER},
        {"seed", required_argument, NULL, SEED},
        {"format", required_argument, NULL, FORMAT},
        {"truth", no_argument, NULL, TRUTH},
        {"scene", required_argument, NULL, SCENE},
        {"calibration", required_argument, NULL, CALIBRATION},
        {"projector-size", required_argument, NULL, PROJECTOR_SIZE},
        {"periods", required_argument, NULL, PERIODS},
        {"fringes", required_argument, NULL, FRINGES},
        {"gamma", required_argument, NULL, GAMMA},
        {"distance", required_argument, NULL, DISTANCE},
        {"patterns", no_argument, NULL, PATTERNS},
        {"help", no_argument, NULL, 'h'},
        {NULL, 0, NULL, 0}};
    fringe_options options;
    bool truth = false, levels_given = false, size_given = false, format_given = false;
    bool patterns = false, scene_mode = false;
    const char *format = "bmp";
    const char *steps_text = NULL;
    std::vector<double> steps;
    scene_request request;
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, ":h", longs, NULL)) != -1;) {
        const char *value = optarg;
        double number = 0;
        const bool numeric = value != NULL && parse_number(value, &number);
        bool ok = true;
        switch (c) {
            case 'h': fputs(HELP, stdout); return 0;
            case TRUTH: truth = true; break;
            case PATTERNS: patterns = true; break;
            case SIZE:
                ok = sscanf(value, "%dx%d", &options.width, &options.height) == 2 &&
                     options.width > 0 && options.height > 0;
                size_given = true;
                break;
            case PROJECTOR_SIZE:
                ok = sscanf(value, "%dx%d", &request.scene.projector_width,
                            &request.scene.projector_height) == 2 &&
                     request.scene.projector_width > 0 && request.scene.projector_height > 0;
                break;
            case SCENE:
                scene_mode = true;
                ok = phaze_internal::scene_shape_of(value, &request.scene.shape);
                break;
            case CALIBRATION:
                request.calibration = split_paths(value);
                ok = request.calibration.size() <= 2;
                break;
            case PERIODS:
                ok = parse_list(value, &request.periods);
                for (double period : request.periods) ok = ok && period > 0;
                break;
            case FRINGES:
                request.vertical = strcmp(value, "horizontal") != 0;
                request.horizontal = strcmp(value, "vertical") != 0;
                ok = one_of(value, "vertical", "horizontal", "both");
                break;
            case GAMMA: ok = numeric && (request.light.gamma = number) > 0; break;
            case DISTANCE: ok = numeric && (request.scene.distance = number) > 0; break;
            case PATTERN:
                options.pattern = value;
                ok = one_of(value, "tilt", "bump", "random");
                break;
            case FORMAT:
                format = value;
                format_given = true;
                ok = one_of(value, "bmp", "tiff", "png");
                break;
            case STEPS:
                steps_text = value;
                ok = parse_list(value, &steps) && steps.size() >= 3 && steps.size() <= 32;
                break;
            case PERIOD: ok = numeric && (options.period = number) > 0; break;
            case ANGLE: ok = numeric && ((options.angle = number), true); break;
            case BACKGROUND: ok = numeric && ((options.background = number), true); break;
            case CONTRAST: ok = numeric && ((options.contrast = number), true); break;
            case NOISE: ok = numeric && (options.noise = number) >= 0; break;
            case BORDER: ok = numeric && (options.border = (int)number) >= 0; break;
            case SEED:
                ok = numeric && number >= 0 && ((options.seed = (unsigned)number), true);
                break;
            case ':':
                return usage_error(std::string("option ") + argv[optind - 1] + " needs a value");
            default:
                return usage_error(optopt != 0 ? std::string("unknown option -") + (char)optopt
                                               : std::string("unknown option ") + argv[optind - 1]);
        }
        if (!ok) {  // --name value, or --name=value
            const char *given = argv[optind - 1] == value ? argv[optind - 2] : argv[optind - 1];
            return usage_error(std::string("bad value '") + value + "' for " + given);
        }
        levels_given |= c == BACKGROUND || c == CONTRAST;
    }
    if (optind != argc - 1)
        return usage_error(optind == argc ? "no folder given" : "one folder, not several");
    const char *folder = argv[optind];
    if (scene_mode || patterns) {
        if (scene_mode && patterns) return usage_error("--scene or --patterns, not both");
        if (scene_mode && request.calibration.empty())
            return usage_error("--scene needs --calibration");
        if (!size_given || (scene_mode && request.scene.projector_width == 0))
            return usage_error(scene_mode ? "--scene needs --size (the camera's image) and "
                                            "--projector-size"
                                          : "--patterns needs --size (the projector's image)");
        if (format_given && strcmp(format, patterns ? "png" : "bmp") == 0)
            return usage_error(patterns ? "projector patterns are 8-bit png"
                                        : "scene frames are tiff or png");
        if (!format_given) format = patterns ? "png" : "tiff";
    } else if (steps_text != NULL && steps.size() != 3) {
        return usage_error(std::string("bad value '") + steps_text +
                           "' for --steps: three steps, or 3 to 32 with --scene or --patterns");
    }
    if (steps_text != NULL && steps.size() == 3)
        for (int k = 0; k < 3; k++) options.steps[k] = steps[k];
    // The folder and any missing folders above it.
    const std::string path = folder;
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0777);
    if (mkdir(folder, 0777) != 0 && errno != EEXIST) {
        fprintf(stderr, "fringegen: can't make folder %s\n", folder);
        return 1;
    }
    const bool sixteen_bits = strcmp(format, "tiff") == 0;
    if (sixteen_bits && !levels_given) options.background *= 257, options.contrast *= 257;
    if (scene_mode || patterns) {
        request.folder = folder;
        request.steps =
            steps_text != NULL ? steps : std::vector<double>(options.steps, options.steps + 3);
        if (request.periods.empty()) request.periods.push_back(options.period);
        request.scene.width = options.width, request.scene.height = options.height;
        request.light.background = options.background, request.light.contrast = options.contrast;
        request.light.noise = options.noise, request.light.seed = options.seed;
        request.light.bits = sixteen_bits ? 16 : 8;
        request.truth = truth;
        return patterns ? write_projector_patterns(request, options.width, options.height)
                        : write_scene_set(request);
    }
    std::vector<double> phase;
    if (strcmp(format, "bmp") == 0) {
        if (make_fringe_set(folder, options, &phase)) return 1;
    } else {
        phase = fringe_phase(options);
        image frames[3];
        std::vector<unsigned char> bytes[3];
        std::vector<uint16_t> words[3];
        if (sixteen_bits)
            fringe_samples_16(options, phase, words);
        else
            fringe_samples(options, phase, bytes);
        for (int k = 0; k < 3; k++) {
            frames[k].width = options.width, frames[k].height = options.height,
            frames[k].channels = 1;
            frames[k].format = sixteen_bits ? PIXELS_U16 : PIXELS_U8;
            const unsigned char *from =
                sixteen_bits ? (const unsigned char *)words[k].data() : bytes[k].data();
            frames[k].data.assign(from, from + phase.size() * (sixteen_bits ? 2 : 1));
            const std::string path =
                std::string(folder) + "/I" + std::to_string(k + 1) + "." + format;
            std::string reason;
            if ((sixteen_bits ? write_tiff(path.c_str(), frames[k], &reason)
                              : write_png(path.c_str(), frames[k], &reason)) != 0) {
                fprintf(stderr, "fringegen: can't write %s: %s\n", path.c_str(), reason.c_str());
                return 1;
            }
        }
    }
    if (truth) {
        const std::string path = std::string(folder) + "/phase_true.txt";
        FILE *file = fopen(path.c_str(), "wb");
        if (file == NULL) {
            fprintf(stderr, "fringegen: can't write %s\n", path.c_str());
            return 1;
        }
        for (double value : phase) fprintf(file, "%.9f\n", value);
        if (fclose(file) != 0) {
            fprintf(stderr, "fringegen: can't write %s\n", path.c_str());
            return 1;
        }
    }
    printf("fringegen: %d x %d %s frames (%s) in %s\n", options.width, options.height,
           options.pattern, format, folder);
    return 0;
}
