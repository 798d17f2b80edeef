// fringegen: writes a folder of synthetic fringe frames that phaze can read.
#include <errno.h>
#include <getopt.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

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
        TRUTH
    };
    static const struct option longs[] = {{"size", required_argument, NULL, SIZE},
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
                                          {"help", no_argument, NULL, 'h'},
                                          {NULL, 0, NULL, 0}};
    fringe_options options;
    bool truth = false, levels_given = false;
    const char *format = "bmp";
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, ":h", longs, NULL)) != -1;) {
        const char *value = optarg;
        double number = 0;
        const bool numeric = value != NULL && parse_number(value, &number);
        bool ok = true;
        switch (c) {
            case 'h': fputs(HELP, stdout); return 0;
            case TRUTH: truth = true; break;
            case SIZE:
                ok = sscanf(value, "%dx%d", &options.width, &options.height) == 2 &&
                     options.width > 0 && options.height > 0;
                break;
            case PATTERN:
                options.pattern = value;
                ok = one_of(value, "tilt", "bump", "random");
                break;
            case FORMAT:
                format = value;
                ok = one_of(value, "bmp", "tiff", "png");
                break;
            case STEPS:
                ok = sscanf(value, "%lf,%lf,%lf", &options.steps[0], &options.steps[1],
                            &options.steps[2]) == 3;
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
