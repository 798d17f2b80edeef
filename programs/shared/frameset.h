// Synthetic fringe frames with a known phase: I_k = A + B cos(phi + step_k) + noise,
// rounded to bytes, written as a complete input folder for phaze.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

struct fringe_options {
    int width = 512, height = 512;
    const char *pattern = "tilt";  // tilt, bump or random
    double steps[3] = {0.0, 2.0943951023931957, 4.1887902047863905};
    double background = 128, contrast = 100, noise = 0;
    double period = 32;  // fringe period in pixels (tilt, bump)
    double angle = 0.3;  // direction of the fringes' phase gradient, radians
    int border = 0;      // width of a dark frame border, in pixels
    unsigned seed = 1;
};

// Phase of every pixel, in file order, radians.
std::vector<double> fringe_phase(const fringe_options &options);

// The three frames' values for a phase map, noise included, before rounding.
void fringe_values(const fringe_options &options, const std::vector<double> &phase,
                   std::vector<double> frames[3]);

// The same rounded to 8- or 16-bit samples.
void fringe_samples(const fringe_options &options, const std::vector<double> &phase,
                    std::vector<unsigned char> frames[3]);
void fringe_samples_16(const fringe_options &options, const std::vector<double> &phase,
                       std::vector<uint16_t> frames[3]);

// Writes config.txt, bmp_header.bmp, I1.bmp, I2.bmp, I3.bmp into folder (which must
// exist). 0 on success, 1 after printing what failed.
int write_frame_set(const char *folder, int W, int H, const unsigned char *I1,
                    const unsigned char *I2, const unsigned char *I3);

// The 56-byte header of a W x H, 24-bit picture with pixel data at byte 56.
void make_picture_header(int W, int H, unsigned char header[56]);

// A whole file's bytes (empty when it cannot be read).
std::string read_whole_file(const char *path);

// fringe_phase, fringe_samples and write_frame_set in one; the true phase is
// returned through true_phase when it is not null.
int make_fringe_set(const char *folder, const fringe_options &options,
                    std::vector<double> *true_phase);
