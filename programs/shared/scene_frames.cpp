#include "shared/scene_frames.h"

#include <math.h>

namespace phaze_internal {

static const double TWO_PI = 6.283185307179586;

static uint64_t mixed(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

// A normal deviate of its own for each seed, frame and pixel, so that no
// thread's order can change the frames.
static double gaussian(unsigned seed, unsigned frame, size_t pixel) {
    const uint64_t a = mixed(((uint64_t)seed << 32 | frame) * 0x9e3779b97f4a7c15ull + pixel);
    const uint64_t b = mixed(a + 0x9e3779b97f4a7c15ull);
    const double u = 1.0 - (double)(a >> 11) * 0x1p-53, v = (double)(b >> 11) * 0x1p-53;
    return sqrt(-2.0 * log(u)) * cos(TWO_PI * v);
}

static double level_at(double coordinate, double period, double step) {
    return 0.5 * (1 + cos(TWO_PI * coordinate / period + step));
}

void render_fringe_frame(const scene_view &view, bool horizontal, double period, double step,
                         const fringe_light &light, unsigned frame, uint16_t *samples) {
    const double *coordinate = horizontal ? view.row.data() : view.column.data();
    const double top = light.bits == 16 ? 65535 : 255;
    const double ambient = light.background - light.contrast;
    const long long pixels = (long long)view.width * view.height;
#pragma omp parallel for schedule(static)
    for (long long i = 0; i < pixels; i++) {
        double value = ambient;
        if (isfinite(coordinate[i]))
            value += 2 * light.contrast * pow(level_at(coordinate[i], period, step), light.gamma);
        if (light.noise > 0) value += light.noise * gaussian(light.seed, frame, (size_t)i);
        samples[i] = (uint16_t)fmin(top, fmax(0.0, nearbyint(value)));
    }
}

void render_projector_pattern(int width, int height, bool horizontal, double period, double step,
                              unsigned char *levels) {
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++)
            levels[(size_t)y * width + x] =
                (unsigned char)nearbyint(255 * level_at(horizontal ? y : x, period, step));
}

}  // namespace phaze_internal
