#include "command/arguments.h"

#include <ctype.h>
#include <getopt.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <set>

#include "shared/file_places.h"
#include "shared/result_names.h"

static const char *HELP =
    "usage: phaze [options] FRAME1 FRAME2 FRAME3 ... [FRAME1 FRAME2 FRAME3 ...]\n"
    "The wrapped phase of 3 to 32 phase-shifted fringe frames (steps need not be known or\n"
    "equal), with each pixel's modulation, a mask of the pixels to trust and the steps found.\n"
    "Frames: PNG, TIFF, JPEG, BMP, PGM or PPM; 8 or 16 bits, or 32-bit float TIFF; gray or\n"
    "colour.\n"
    "\n"
    "  -n, --frames N          frames a set, 3 to 32 (3); the frames given are read as\n"
    "                          consecutive sets of N\n"
    "  -o, --output PATH       one set: the prefix of its results (default: FRAME1 without its\n"
    "                          extension); several sets: a folder, each set's results named\n"
    "                          after its FRAME1's file name without extension\n"
    "      --formats LIST      result formats, from tiff, png, json, npy, txt (tiff,png,json);\n"
    "                          with --calibration also ply, depth, xyz (by default all three)\n"
    "      --min-modulation V  mask pixels whose modulation is below V, in the samples' units\n"
    "                          (default: 1% of full scale; of the largest sample for float)\n"
    "      --saturation V      mask pixels with any sample >= V (default: the type's maximum\n"
    "                          for integer frames, none for float frames)\n"
    "      --channel C         luma, r, g or b: which channel of colour frames (luma)\n"
    "      --device D          auto, cpu or cuda (auto: CUDA when a device is there)\n"
    "      --periods T1,T2,... the frames of a result are sets of N at these fringe periods\n"
    "                          (any one unit), the coarsest last or first: P_phase.tiff is\n"
    "                          then the absolute phase of the finest period\n"
    "      --unwrap            add P_unwrapped.tiff, the phase unwrapped in space\n"
    "      --harmonics H       auto or off: find the ripple of non-sinusoidal fringes and\n"
    "                          remove it where the data confirm it (auto)\n"
    "      --steps LIST        the frames' steps in degrees where they are known, one a\n"
    "                          frame (0,90,180,270), the same for every set: the phase is\n"
    "                          phi of I_k = A + B cos(phi + step_k); phaze checks them\n"
    "                          against the frames\n"
    "      --calibration FILE[,FILE]\n"
    "                          a camera-projector calibration (OpenCV FileStorage: one file,\n"
    "                          or the intrinsics and extrinsics files of a stereo pair): each\n"
    "                          result's 3-D points, from vertical fringes with --periods in\n"
    "                          projector pixels and --steps\n"
    "  -q, --quiet             say nothing but errors\n"
    "      --version           print the version\n"
    "  -h, --help              print this help\n"
    "\n"
    "Results for prefix P: P_phase.tiff (float32 radians in [0, 2pi], NaN where masked),\n"
    "P_modulation.tiff (float32), P_mask.png (255 valid, 0 masked), P_phase.png (the phase\n"
    "in colour, masked pixels black), P_report.json; with npy P_phase.npy (float64), with\n"
    "txt P_phase.txt (one %lf a pixel); with --calibration P_points.ply (x, y, z and gray),\n"
    "P_depth.tiff (z) and P_xyz.tiff (x, y, z), in the calibration's unit.\n"
    "Exit status: 0 done, 1 a set failed, 2 bad usage.\n";

int usage_error(const std::string &message) {
    fprintf(stderr, "phaze: %s\nTry 'phaze --help' for more.\n", message.c_str());
    return ARGUMENTS_BAD;
}

// strtod alone would take leading blanks, hex and "inf".
static int parse_number(const char *text, double *value) {
    if (!isdigit((unsigned char)text[0]) && text[0] != '.') return 0;
    char *end = NULL;
    *value = strtod(text, &end);
    return end != text && *end == '\0' && isfinite(*value) && *value >= 0;
}

// Decimal digits only: "4.0", " 4" and "4e0" are not a frame count.
static int parse_whole_number(const char *text, int *value) {
    const size_t length = strlen(text);
    if (length == 0 || length > 6 || strspn(text, "0123456789") != length) return 0;
    *value = atoi(text);
    return 1;
}

// *points: whether a point file's format was named (they need --calibration).
static int parse_formats(const char *list, run_options *o, bool *points) {
    o->tiff = o->png = o->json = o->npy = o->txt = false;
    o->ply = o->depth = o->xyz = *points = false;
    std::string text = list;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t comma = text.find(',', start);
        const std::string name =
            text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (name == "tiff")
            o->tiff = true;
        else if (name == "png")
            o->png = true;
        else if (name == "json")
            o->json = true;
        else if (name == "npy")
            o->npy = true;
        else if (name == "txt")
            o->txt = true;
        else if (name == "ply")
            o->ply = *points = true;
        else if (name == "depth")
            o->depth = *points = true;
        else if (name == "xyz")
            o->xyz = *points = true;
        else
            return 0;
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return 1;
}

int parse_arguments(int argc, char **argv, run_options *o) {
    enum {
        FORMATS = 1000,
        MIN_MODULATION,
        SATURATION,
        CHANNEL,
        DEVICE,
        VERSION,
        HARMONICS,
        PERIODS,
        UNWRAP,
        STEPS,
        CALIBRATION
    };
    static const struct option longs[] = {
        {"frames", required_argument, NULL, 'n'},
        {"output", required_argument, NULL, 'o'},
        {"formats", required_argument, NULL, FORMATS},
        {"min-modulation", required_argument, NULL, MIN_MODULATION},
        {"saturation", required_argument, NULL, SATURATION},
        {"channel", required_argument, NULL, CHANNEL},
        {"device", required_argument, NULL, DEVICE},
        {"harmonics", required_argument, NULL, HARMONICS},
        {"periods", required_argument, NULL, PERIODS},
        {"unwrap", no_argument, NULL, UNWRAP},
        {"steps", required_argument, NULL, STEPS},
        {"calibration", required_argument, NULL, CALIBRATION},
        {"quiet", no_argument, NULL, 'q'},
        {"version", no_argument, NULL, VERSION},
        {"help", no_argument, NULL, 'h'},
        {NULL, 0, NULL, 0}};
    opterr = 0;
    optind = 1;
    bool point_formats = false;
    for (int c; (c = getopt_long(argc, argv, ":n:o:qh", longs, NULL)) != -1;) {
        const std::string value = optarg != NULL ? optarg : "";
        switch (c) {
            case 'o': o->output = value; break;
            case 'n': {
                int n = 0;
                if (!parse_whole_number(optarg, &n) || n < PHAZE_MIN_FRAMES || n > PHAZE_MAX_FRAMES)
                    return usage_error("--frames needs a whole number from 3 to 32, not '" + value +
                                       "'");
                o->frames_per_set = n;
                break;
            }
            case 'q': o->quiet = true; break;
            case 'h': fputs(HELP, stdout); return ARGUMENTS_DONE;
            case VERSION: printf("phaze %s\n", phaze_version()); return ARGUMENTS_DONE;
            case FORMATS:
                if (!parse_formats(optarg, o, &point_formats))
                    return usage_error("unknown format in '" + value + "'");
                break;
            case MIN_MODULATION:
                if (!parse_number(optarg, &o->min_modulation))
                    return usage_error("--min-modulation needs a number of 0 or more, not '" +
                                       value + "'");
                break;
            case SATURATION:
                if (!parse_number(optarg, &o->saturation))
                    return usage_error("--saturation needs a number of 0 or more, not '" + value +
                                       "'");
                break;
            case CHANNEL:
                if (value == "luma")
                    o->channel = CHANNEL_LUMA;
                else if (value == "r")
                    o->channel = CHANNEL_RED;
                else if (value == "g")
                    o->channel = CHANNEL_GREEN;
                else if (value == "b")
                    o->channel = CHANNEL_BLUE;
                else
                    return usage_error("--channel is luma, r, g or b, not '" + value + "'");
                break;
            case DEVICE:
                if (value == "auto")
                    o->device = PHAZE_DEVICE_AUTO;
                else if (value == "cpu")
                    o->device = PHAZE_DEVICE_CPU;
                else if (value == "cuda")
                    o->device = PHAZE_DEVICE_CUDA;
                else
                    return usage_error("--device is auto, cpu or cuda, not '" + value + "'");
                break;
            case UNWRAP: o->unwrap = true; break;
            case PERIODS: {
                o->periods.clear();
                size_t start = 0;
                for (;;) {
                    const size_t comma = value.find(',', start);
                    const std::string one = value.substr(
                        start, comma == std::string::npos ? std::string::npos : comma - start);
                    double period = 0;
                    if (!parse_number(one.c_str(), &period) || period <= 0)
                        return usage_error("--periods needs positive numbers, not '" + value + "'");
                    for (double earlier : o->periods)
                        if (earlier == period)
                            return usage_error("--periods: " + one + " is given twice");
                    o->periods.push_back(period);
                    if (comma == std::string::npos) break;
                    start = comma + 1;
                }
                if (o->periods.size() < 2 || o->periods.size() > PHAZE_MAX_PERIODS)
                    return usage_error("--periods needs 2 to 8 periods, not " +
                                       std::to_string(o->periods.size()));
                break;
            }
            case STEPS: {
                o->steps.clear();
                size_t start = 0;
                for (;;) {
                    const size_t comma = value.find(',', start);
                    const std::string one = value.substr(
                        start, comma == std::string::npos ? std::string::npos : comma - start);
                    char *end = NULL;
                    const double degrees = strtod(one.c_str(), &end);
                    if (one.empty() || end != one.c_str() + one.size() || !isfinite(degrees) ||
                        isspace((unsigned char)one[0]))
                        return usage_error("--steps needs numbers in degrees, one a frame, not '" +
                                           value + "'");
                    o->steps.push_back(degrees * 0.017453292519943295);
                    if (comma == std::string::npos) break;
                    start = comma + 1;
                }
                break;
            }
            case CALIBRATION: {
                o->calibration.clear();
                size_t start = 0;
                for (;;) {
                    const size_t comma = value.find(',', start);
                    o->calibration.push_back(value.substr(
                        start, comma == std::string::npos ? std::string::npos : comma - start));
                    if (o->calibration.back().empty() || o->calibration.size() > 2)
                        return usage_error(
                            "--calibration takes one file, or the intrinsics and extrinsics "
                            "files as FILE,FILE, not '" +
                            value + "'");
                    if (comma == std::string::npos) break;
                    start = comma + 1;
                }
                break;
            }
            case HARMONICS:
                if (value == "auto")
                    o->harmonics = PHAZE_HARMONICS_AUTO;
                else if (value == "off")
                    o->harmonics = PHAZE_HARMONICS_OFF;
                else
                    return usage_error("--harmonics is auto or off, not '" + value + "'");
                break;
            case ':':
                return usage_error(std::string("option ") + argv[optind - 1] + " needs a value");
            default:
                // A long option given a value it does not take: optopt holds its
                // val, which for most is no character at all.
                if (strncmp(argv[optind - 1], "--", 2) == 0 && optopt != 0)
                    for (const struct option *l = longs; l->name != NULL; l++)
                        if (l->val == optopt && l->has_arg == no_argument)
                            return usage_error(std::string("option --") + l->name +
                                               " takes no value");
                // optopt names a short option; within a cluster such as -xq,
                // argv[optind - 1] is still the argument before it.
                if (optopt != 0 && strncmp(argv[optind - 1], "--", 2) != 0)
                    return usage_error(std::string("unknown option -") + (char)optopt +
                                       " (a frame whose name begins with '-' goes after --)");
                return usage_error(std::string("unknown option ") + argv[optind - 1]);
        }
    }
    for (int a = optind; a < argc; a++) o->frames.push_back(argv[a]);
    if (o->frames.empty()) return usage_error("no frames given");
    // The projector column is the absolute phase of known steps: without it
    // the points would be those of a phase with an arbitrary sign and constant.
    if (!o->calibration.empty() && (o->periods.empty() || o->steps.empty()))
        return usage_error(std::string("--calibration needs ") +
                           (o->periods.empty() && o->steps.empty() ? "--periods and --steps"
                            : o->periods.empty()                   ? "--periods"
                                                                   : "--steps") +
                           ": the points come from the absolute phase of sets at several "
                           "periods with steps you know");
    if (o->calibration.empty() && point_formats)
        return usage_error("--formats ply, depth and xyz need --calibration");
    const size_t n = (size_t)o->frames_per_set, group = frames_per_result(*o);
    if (o->frames.size() % group != 0)
        return usage_error(
            std::to_string(o->frames.size()) + " frames given: frames come in sets of " +
            (n == 3 ? std::string("three") : std::to_string(n)) +
            (o->periods.empty()
                 ? (n == 3 ? " (--frames N for sets of N)" : "")
                 : ", " + std::to_string(o->periods.size()) + " sets a result (--periods)"));
    if (!(o->tiff || o->png || o->json || o->npy || o->txt ||
          (!o->calibration.empty() && (o->ply || o->depth || o->xyz))))
        return usage_error("no result format chosen");
    if (!o->steps.empty()) {  // checked as the library will, before anything is read
        if (o->steps.size() != (size_t)o->frames_per_set)
            return usage_error("--steps: " + std::to_string(o->steps.size()) +
                               " steps given for sets of " + std::to_string(o->frames_per_set) +
                               " frames: give one a frame");
        phaze_options options;
        phaze_default_options(&options);
        options.step_count = (int)o->steps.size();
        std::copy(o->steps.begin(), o->steps.end(), options.steps);
        char why[256];
        if (phaze_check_options(&options, o->frames_per_set, why, sizeof why) != PHAZE_OK)
            return usage_error("--steps: " + std::string(why));
    }
    return ARGUMENTS_RUN;
}

static std::string without_extension(const std::string &path) {
    const size_t slash = path.rfind('/'), dot = path.rfind('.');
    return dot != std::string::npos && (slash == std::string::npos || dot > slash) &&
                   dot != slash + 1
               ? path.substr(0, dot)
               : path;
}

static std::string file_name(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

int result_prefixes(const run_options &o, std::vector<std::string> *prefixes) {
    const size_t sets = o.frames.size() / frames_per_result(o);
    std::set<std::string> seen;
    for (size_t s = 0; s < sets; s++) {
        const std::string &first = o.frames[frames_per_result(o) * s];
        std::string prefix;
        if (o.output.empty())
            prefix = without_extension(first);
        else if (sets == 1)
            prefix = o.output;
        else
            prefix = o.output + (o.output.back() == '/' ? "" : "/") +
                     without_extension(file_name(first));
        if (!seen.insert(name_place(prefix)).second)
            return usage_error("two sets would write their results to " + prefix + "_*");
        prefixes->push_back(prefix);
    }
    // Frames are read before their set's results are written, but a batch reads
    // later sets after earlier ones are written, and a user keeps their frames.
    const std::string replacing = result_replacing_frame(o, *prefixes, o.frames);
    if (!replacing.empty()) return usage_error(replacing);
    return ARGUMENTS_RUN;
}
