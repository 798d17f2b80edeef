#include "unwrap/coarse_steps.h"

#include <math.h>

#include <vector>

#include "math/solve3.h"
#include "unwrap/spatial.h"

namespace phaze_internal {

// The largest 4-connected region of the valid pixels: the finer phase is
// unwrapped in space region by region, each with a constant of its own, so
// only one region's phase scales to the coarse one.
static std::vector<unsigned char> largest_region(const std::vector<double> &unwrapped, int width,
                                                 int height) {
    const size_t pixels = (size_t)width * height;
    std::vector<int> label(pixels, -1);
    std::vector<size_t> queue;
    int best = -1;
    size_t best_size = 0;
    for (size_t start = 0, regions = 0; start < pixels; start++) {
        if (label[start] >= 0 || isnan(unwrapped[start])) continue;
        queue.assign(1, start), label[start] = (int)regions;
        for (size_t head = 0; head < queue.size(); head++) {
            const size_t i = queue[head];
            const int x = (int)(i % width), y = (int)(i / width);
            const size_t around[4] = {i - 1, i + 1, i - width, i + width};
            const bool inside[4] = {x > 0, x + 1 < width, y > 0, y + 1 < height};
            for (int a = 0; a < 4; a++)
                if (inside[a] && label[around[a]] < 0 && !isnan(unwrapped[around[a]]))
                    label[around[a]] = (int)regions, queue.push_back(around[a]);
        }
        if (queue.size() > best_size) best_size = queue.size(), best = (int)regions;
        regions++;
    }
    std::vector<unsigned char> in(pixels);
    for (size_t i = 0; i < pixels; i++) in[i] = label[i] == best && best >= 0;
    return in;
}

int steps_from_finer_phase(const sample_frames &f, const double *phase,
                           const unsigned char *valid, double ratio, double *theta) {
    const size_t pixels = (size_t)f.width * f.height;
    std::vector<double> unwrapped(pixels);
    unwrap_spatial(phase, valid, NULL, f.width, f.height, unwrapped.data());
    const std::vector<unsigned char> in = largest_region(unwrapped, f.width, f.height);
    // Each frame against 1, cos and sin of the scaled phase, over a sample.
    const long long stride = pixels > (1 << 16) ? (long long)(pixels >> 16) : 1;
    double g[3][3] = {}, r[MAX_FRAMES][3] = {}, samples[MAX_FRAMES];
    long long used = 0;
    for (size_t i = 0; i < pixels; i += stride) {
        if (!in[i]) continue;
        load_block(f, (long long)i, 1, samples, 1);
        bool finite = true;
        for (int k = 0; k < f.count; k++) finite = finite && isfinite(samples[k]);
        if (!finite) continue;
        const double p = unwrapped[i] * ratio, v[3] = {1, cos(p), sin(p)};
        for (int a = 0; a < 3; a++) {
            for (int b = 0; b < 3; b++) g[a][b] += v[a] * v[b];
            for (int k = 0; k < f.count; k++) r[k][a] += v[a] * samples[k];
        }
        used++;
    }
    if (used < 100) return 1;
    for (int k = 0; k < f.count; k++) {
        double abc[3] = {0, 0, 0};
        if (!solve3(g, r[k], abc)) return 1;
        theta[k] = atan2(-abc[2], abc[1]);  // b cos p + c sin p = B cos(p + theta)
    }
    return 0;
}

}  // namespace phaze_internal
