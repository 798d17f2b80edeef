#include "unwrap/spatial.h"

#include <math.h>
#include <stdint.h>
#include <string.h>

#include <vector>

namespace phaze_internal {

static const double TWO_PI = 6.283185307179586, PI = 3.141592653589793;

static inline double wrap(double angle) { return angle - TWO_PI * floor((angle + PI) / TWO_PI); }

// A phase value within [0, 2 pi): the input need not be wrapped, and whole
// turns counted from it stay small.
static inline double within_turn(double angle) { return angle - TWO_PI * floor(angle / TWO_PI); }

// How rough the phase is around each pixel (the inverse of its reliability):
// the root sum of squares of its wrapped second differences across the 3 x 3
// neighbourhood (horizontal, vertical, both diagonals), over its modulation
// where that is known. Pixels on the border of the frame or of the mask are
// the roughest, so that they are joined last.
static const float ROUGHEST = 1e30f;
static void roughnesses(const double *phase, const unsigned char *valid, const float *modulation,
                        int width, int height, float *roughness) {
#pragma omp parallel for schedule(static)
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++) {
            const size_t i = (size_t)y * width + x;
            roughness[i] = ROUGHEST;
            if (!valid[i] || x == 0 || y == 0 || x == width - 1 || y == height - 1) continue;
            bool inner = true;
            for (int dy = -1; dy <= 1 && inner; dy++)
                for (int dx = -1; dx <= 1; dx++) inner = inner && valid[i + (long)dy * width + dx];
            if (!inner) continue;
            const double *p = phase + i;
            const long w = width;
            const double c = p[0];
            const double h = wrap(p[-1] - c) - wrap(c - p[1]);
            const double v = wrap(p[-w] - c) - wrap(c - p[w]);
            const double d1 = wrap(p[-w - 1] - c) - wrap(c - p[w + 1]);
            const double d2 = wrap(p[-w + 1] - c) - wrap(c - p[w - 1]);
            double r = sqrt(h * h + v * v + d1 * d1 + d2 * d2);
            if (modulation != NULL && isfinite(modulation[i]) && modulation[i] > 0)
                r /= sqrt((double)modulation[i]);
            roughness[i] = (float)fmin(r, 1e29);
        }
}

// Union-find over the pixels, each node keeping the turns (multiples of 2 pi)
// to add to it to match its parent; the root's turns are its group's.
struct groups {
    std::vector<uint32_t> parent, size;
    std::vector<int32_t> turns;  // relative to the parent

    explicit groups(size_t n) : parent(n), size(n, 1), turns(n, 0) {
        for (size_t i = 0; i < n; i++) parent[i] = (uint32_t)i;
    }
    // The root of i, and in *total the turns from i to it; paths are halved.
    uint32_t find(uint32_t i, int32_t *total) {
        int32_t sum = 0;
        while (parent[i] != i) {
            const uint32_t p = parent[i];
            if (parent[p] != p) {  // point i past its parent, keeping its turns true
                turns[i] += turns[p];
                parent[i] = parent[p];
            }
            sum += turns[i];
            i = parent[i];
        }
        *total = sum;
        return i;
    }
};

int unwrap_spatial(const double *phase, const unsigned char *mask, const float *modulation,
                   int width, int height, double *unwrapped) {
    const size_t pixels = (size_t)width * height;
    std::vector<unsigned char> valid(pixels);
    for (size_t i = 0; i < pixels; i++)
        valid[i] = isfinite(phase[i]) && (mask == NULL || mask[i] != 0);
    std::vector<float> roughness(pixels);
    roughnesses(phase, valid.data(), modulation, width, height, roughness.data());

    // Edges between valid neighbours (2 i: to the right, 2 i + 1: below),
    // sorted by the sum of their pixels' roughnesses, the smoothest first: a
    // counting sort on the top 16 bits of that sum as a float (its sign,
    // exponent and 7 bits of mantissa order positive floats as they are).
    const int BINS = 1 << 16;
    std::vector<uint16_t> edge_bin(2 * pixels, 0);  // 0: no edge
    auto key = [](float r) {
        uint32_t bits;
        memcpy(&bits, &r, sizeof bits);
        const uint32_t top = bits >> 16;                     // r >= 0
        return (uint16_t)(top < 0xffff ? top + 1 : 0xffff);  // 0 means no edge
    };
#pragma omp parallel for schedule(static)
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++) {
            const size_t i = (size_t)y * width + x;
            if (!valid[i]) continue;
            if (x + 1 < width && valid[i + 1])
                edge_bin[2 * i] = key(roughness[i] + roughness[i + 1]);
            if (y + 1 < height && valid[i + width])
                edge_bin[2 * i + 1] = key(roughness[i] + roughness[i + width]);
        }
    std::vector<uint32_t> count(BINS, 0), start(BINS, 0);
    for (size_t e = 0; e < 2 * pixels; e++) count[edge_bin[e]]++;
    for (int b = 2; b < BINS; b++) start[b] = start[b - 1] + count[b - 1];  // smoothest first
    std::vector<uint32_t> order(start[BINS - 1] + count[BINS - 1]);
    for (size_t e = 0; e < 2 * pixels; e++)
        if (edge_bin[e] != 0) order[start[edge_bin[e]]++] = (uint32_t)e;
    edge_bin.clear(), edge_bin.shrink_to_fit();

    groups g(pixels);
    for (uint32_t e : order) {
        const uint32_t a = e / 2, b = e % 2 ? a + width : a + 1;
        int32_t ta, tb;
        const uint32_t ra = g.find(a, &ta), rb = g.find(b, &tb);
        if (ra == rb) continue;
        // Turns k for b that bring it within pi of a: b's group then moves by
        // ta + k - tb relative to a's.
        const int32_t k = (int32_t)lround((within_turn(phase[a]) - within_turn(phase[b])) / TWO_PI);
        const int32_t move = ta + k - tb;
        if (g.size[ra] >= g.size[rb]) {
            g.parent[rb] = ra, g.turns[rb] = move, g.size[ra] += g.size[rb];
        } else {
            g.parent[ra] = rb, g.turns[ra] = -move, g.size[rb] += g.size[ra];
        }
    }
    int regions = 0;
    for (size_t i = 0; i < pixels; i++) {
        if (!valid[i]) {
            unwrapped[i] = NAN;
            continue;
        }
        int32_t total;
        const uint32_t root = g.find((uint32_t)i, &total);
        regions += root == i;
        unwrapped[i] = within_turn(phase[i]) + TWO_PI * total;
    }
    return regions;
}

}  // namespace phaze_internal
