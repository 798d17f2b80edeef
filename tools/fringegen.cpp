// fringegen: writes a folder of synthetic fringe frames that phaze can read.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "cli/image.h"
#include "tools/frameset.h"

static void usage(void) {
    printf(
        "usage: fringegen FOLDER [options]\n"
        "  --size WxH            frame size (512x512)\n"
        "  --pattern NAME        tilt, bump or random (tilt)\n"
        "  --steps A,B,C         the three phase steps in radians (0,2pi/3,4pi/3)\n"
        "  --period P            fringe period in pixels (32)\n"
        "  --angle R             direction of the fringes, radians (0.3)\n"
        "  --background A        mean intensity (128)\n"
        "  --contrast B          fringe amplitude (100)\n"
        "  --noise S             standard deviation of added noise (0)\n"
        "  --border N            dark border of N pixels (0)\n"
        "  --seed N              random seed (1)\n"
        "  --truth               also write the true phase to phase_true.txt\n");
}

static int parse_number(const char *text, double *value) {
    char *end = NULL;
    errno = 0;
    *value = strtod(text, &end);
    return end != text && *end == '\0' && errno == 0 ? 0 : 1;
}

int main(int argc, char **argv) {
    if (argc < 2 || strcmp(argv[1], "--help") == 0) {
        usage();
        return argc < 2 ? 1 : 0;
    }
    const char *folder = argv[1];
    fringe_options options;
    bool truth = false, levels_given = false;
    const char *format = "bmp";
    for (int a = 2; a < argc; a++) {
        const char *name = argv[a];
        if (strcmp(name, "--truth") == 0) {
            truth = true;
            continue;
        }
        if (a + 1 >= argc) {
            fprintf(stderr, "fringegen: %s needs a value\n", name);
            return 1;
        }
        const char *value = argv[++a];
        double number = 0;
        bool ok = true;
        if (strcmp(name, "--size") == 0) {
            ok = sscanf(value, "%dx%d", &options.width, &options.height) == 2 &&
                 options.width > 0 && options.height > 0;
        } else if (strcmp(name, "--pattern") == 0) {
            options.pattern = value;
            ok = strcmp(value, "tilt") == 0 || strcmp(value, "bump") == 0 ||
                 strcmp(value, "random") == 0;
        } else if (strcmp(name, "--format") == 0) {
            format = value;
            ok = strcmp(value, "bmp") == 0 || strcmp(value, "tiff") == 0 ||
                 strcmp(value, "png") == 0;
        } else if (strcmp(name, "--steps") == 0) {
            ok = sscanf(value, "%lf,%lf,%lf", &options.steps[0], &options.steps[1],
                        &options.steps[2]) == 3;
        } else if (parse_number(value, &number)) {
            ok = false;
        } else if (strcmp(name, "--period") == 0) {
            options.period = number;
            ok = number > 0;
        } else if (strcmp(name, "--angle") == 0) {
            options.angle = number;
        } else if (strcmp(name, "--background") == 0) {
            options.background = number;
            levels_given = true;
        } else if (strcmp(name, "--contrast") == 0) {
            options.contrast = number;
            levels_given = true;
        } else if (strcmp(name, "--noise") == 0) {
            options.noise = number;
        } else if (strcmp(name, "--border") == 0) {
            options.border = (int)number;
        } else if (strcmp(name, "--seed") == 0) {
            options.seed = (unsigned)number;
        } else {
            fprintf(stderr, "fringegen: unknown option %s\n", name);
            return 1;
        }
        if (!ok) {
            fprintf(stderr, "fringegen: bad value '%s' for %s\n", value, name);
            return 1;
        }
    }
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
            const unsigned char *from = sixteen_bits ? (const unsigned char *)words[k].data() : bytes[k].data();
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
