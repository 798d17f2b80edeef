#include "shared/frameset.h"

#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

static const double TWO_PI = 6.283185307179586;

// A small generator of our own, so the frames are the same on every platform.
static uint64_t next_random(uint64_t &state) {
    state += 0x9e3779b97f4a7c15ull;
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

static double uniform(uint64_t &state) { return (double)(next_random(state) >> 11) * 0x1p-53; }

static double gaussian(uint64_t &state) {
    const double u = 1.0 - uniform(state), v = uniform(state);
    return sqrt(-2.0 * log(u)) * cos(TWO_PI * v);
}

std::vector<double> fringe_phase(const fringe_options &o) {
    std::vector<double> phase((size_t)o.width * (size_t)o.height);
    uint64_t state = o.seed;
    const double gx = cos(o.angle) * TWO_PI / o.period, gy = sin(o.angle) * TWO_PI / o.period;
    const double cx = 0.5 * (o.width - 1), cy = 0.5 * (o.height - 1);
    const double bump_radius = 0.25 * (o.width < o.height ? o.width : o.height);
    for (int y = 0; y < o.height; y++)
        for (int x = 0; x < o.width; x++) {
            double value;
            if (strcmp(o.pattern, "random") == 0) {
                value = TWO_PI * uniform(state);
            } else {
                value = gx * x + gy * y;
                if (strcmp(o.pattern, "bump") == 0) {
                    const double r2 =
                        ((x - cx) * (x - cx) + (y - cy) * (y - cy)) / (bump_radius * bump_radius);
                    value += 3.0 * TWO_PI * exp(-r2);
                }
            }
            phase[(size_t)y * o.width + x] = value;
        }
    return phase;
}

void fringe_values(const fringe_options &o, const std::vector<double> &phase,
                   std::vector<double> frames[3]) {
    uint64_t state = o.seed ^ 0x5eedull;
    for (int k = 0; k < 3; k++) frames[k].resize(phase.size());
    for (int y = 0; y < o.height; y++)
        for (int x = 0; x < o.width; x++) {
            const size_t i = (size_t)y * o.width + x;
            const bool in_border =
                x < o.border || y < o.border || x >= o.width - o.border || y >= o.height - o.border;
            for (int k = 0; k < 3; k++) {
                double value = o.background + o.contrast * cos(phase[i] + o.steps[k]);
                if (o.noise > 0) value += o.noise * gaussian(state);
                frames[k][i] = in_border ? 0 : value;
            }
        }
}

// Rounded to the nearest level and kept within 0 to top.
static double level(double value, double top) {
    value = floor(value + 0.5);
    return value < 0 ? 0 : value > top ? top : value;
}

void fringe_samples(const fringe_options &o, const std::vector<double> &phase,
                    std::vector<unsigned char> frames[3]) {
    std::vector<double> values[3];
    fringe_values(o, phase, values);
    for (int k = 0; k < 3; k++) {
        frames[k].resize(phase.size());
        for (size_t i = 0; i < phase.size(); i++)
            frames[k][i] = (unsigned char)level(values[k][i], 255);
    }
}

void fringe_samples_16(const fringe_options &o, const std::vector<double> &phase,
                       std::vector<uint16_t> frames[3]) {
    std::vector<double> values[3];
    fringe_values(o, phase, values);
    for (int k = 0; k < 3; k++) {
        frames[k].resize(phase.size());
        for (size_t i = 0; i < phase.size(); i++)
            frames[k][i] = (uint16_t)level(values[k][i], 65535);
    }
}

static void put_le(unsigned char *at, uint32_t value, int bytes) {
    for (int k = 0; k < bytes; k++) at[k] = (unsigned char)(value >> (8 * k));
}

void make_picture_header(int W, int H, unsigned char header[56]) {
    const uint32_t pixel_bytes = 3u * (uint32_t)W * (uint32_t)H;
    memset(header, 0, 56);
    header[0] = 'B';
    header[1] = 'M';
    put_le(header + 2, pixel_bytes + 56, 4);  // file size
    put_le(header + 10, 56, 4);               // pixel data offset
    put_le(header + 14, 40, 4);               // info header size
    put_le(header + 18, (uint32_t)W, 4);
    put_le(header + 22, (uint32_t)H, 4);
    put_le(header + 26, 1, 2);            // planes
    put_le(header + 28, 24, 2);           // bits a pixel
    put_le(header + 34, pixel_bytes, 4);  // image size
    put_le(header + 38, 2835, 4);         // 72 dots an inch
    put_le(header + 42, 2835, 4);
}

static int write_file(const std::string &path, const unsigned char *head, size_t head_bytes,
                      const unsigned char *gray, size_t pixels) {
    FILE *file = fopen(path.c_str(), "wb");
    if (file == NULL) {
        fprintf(stderr, "fringegen: can't write %s\n", path.c_str());
        return 1;
    }
    bool ok = fwrite(head, 1, head_bytes, file) == head_bytes;
    std::vector<unsigned char> row(3 * 4096);
    for (size_t start = 0; ok && start < pixels; start += 4096) {
        const size_t count = pixels - start < 4096 ? pixels - start : 4096;
        for (size_t k = 0; k < count; k++)
            row[3 * k] = row[3 * k + 1] = row[3 * k + 2] = gray[start + k];
        ok = fwrite(row.data(), 1, 3 * count, file) == 3 * count;
    }
    ok = (fclose(file) == 0) && ok;
    if (!ok) fprintf(stderr, "fringegen: can't write %s\n", path.c_str());
    return ok ? 0 : 1;
}

int write_frame_set(const char *folder, int W, int H, const unsigned char *I1,
                    const unsigned char *I2, const unsigned char *I3) {
    const std::string base = std::string(folder) + "/";
    char config[128];
    const int length = snprintf(config, sizeof config, "frame size: width height\n%d %d\n", W, H);
    FILE *file = fopen((base + "config.txt").c_str(), "wb");
    if (file == NULL || fwrite(config, 1, (size_t)length, file) != (size_t)length ||
        fclose(file) != 0) {
        fprintf(stderr, "fringegen: can't write %sconfig.txt\n", base.c_str());
        return 1;
    }
    unsigned char header[56];
    make_picture_header(W, H, header);
    const size_t pixels = (size_t)W * (size_t)H;
    if (write_file(base + "bmp_header.bmp", header, 56, NULL, 0)) return 1;
    if (write_file(base + "I1.bmp", header, 56, I1, pixels)) return 1;
    if (write_file(base + "I2.bmp", header, 56, I2, pixels)) return 1;
    if (write_file(base + "I3.bmp", header, 56, I3, pixels)) return 1;
    return 0;
}

std::string read_whole_file(const char *path) {
    std::string bytes;
    FILE *file = fopen(path, "rb");
    if (file == NULL) return bytes;
    char block[1 << 16];
    size_t got;
    while ((got = fread(block, 1, sizeof block, file)) > 0) bytes.append(block, got);
    fclose(file);
    return bytes;
}

int make_fringe_set(const char *folder, const fringe_options &options,
                    std::vector<double> *true_phase) {
    std::vector<double> phase = fringe_phase(options);
    std::vector<unsigned char> frames[3];
    fringe_samples(options, phase, frames);
    if (true_phase != NULL) *true_phase = phase;
    return write_frame_set(folder, options.width, options.height, frames[0].data(),
                           frames[1].data(), frames[2].data());
}
