#include "shared/fringe_background.h"

#include <math.h>
#include <stdint.h>

namespace phaze_internal {

template <typename Sample>
static const Sample *row_of(const phaze_frames &frames, int k, int y) {
    const size_t stride =
        frames.row_stride != 0 ? frames.row_stride : (size_t)frames.width * sizeof(Sample);
    return (const Sample *)((const unsigned char *)frames.frame[k] + (size_t)y * stride);
}

template <typename Sample>
static double largest_sample(const phaze_frames &frames) {
    double largest = 0;
    for (int k = 0; k < frames.count; k++)
        for (int y = 0; y < frames.height; y++) {
            const Sample *row = row_of<Sample>(frames, k, y);
            for (int x = 0; x < frames.width; x++)
                if (isfinite((double)row[x]) && row[x] > largest) largest = row[x];
        }
    return largest;
}

// With the offsets' mean cosine c and sine s, the mean of cos(phase + offset_k)
// is cos(phase) c - sin(phase) s: one sine and cosine a pixel, whatever the
// number of frames.
template <typename Sample>
static void gray_of(const phaze_frames &frames, const double *phase, const float *modulation,
                    double mean_cos, double mean_sin, double scale, unsigned char *gray) {
    const int n = frames.count, width = frames.width;
#pragma omp parallel for schedule(static)
    for (int y = 0; y < frames.height; y++)
        for (int x = 0; x < width; x++) {
            const size_t i = (size_t)y * width + x;
            if (!isfinite(phase[i]) || !isfinite(modulation[i])) {
                gray[i] = 0;
                continue;
            }
            double sum = 0;
            for (int k = 0; k < n; k++) sum += row_of<Sample>(frames, k, y)[x];
            const double background =
                sum / n - modulation[i] * (cos(phase[i]) * mean_cos - sin(phase[i]) * mean_sin);
            const double level = round(background * scale);
            gray[i] = level >= 255 ? 255 : level > 0 ? (unsigned char)level : 0;
        }
}

template <typename Sample>
static void background_gray_of(const phaze_frames &frames, const double *phase,
                               const float *modulation, const double *offsets, double full_scale,
                               unsigned char *gray) {
    double mean_cos = 0, mean_sin = 0;
    for (int k = 0; k < frames.count; k++)
        mean_cos += cos(offsets[k]) / frames.count, mean_sin += sin(offsets[k]) / frames.count;
    if (!(full_scale > 0)) full_scale = largest_sample<Sample>(frames);
    const double scale = full_scale > 0 ? 255 / full_scale : 0;
    gray_of<Sample>(frames, phase, modulation, mean_cos, mean_sin, scale, gray);
}

void background_gray(const phaze_frames &frames, const double *phase, const float *modulation,
                     const double *offsets, double full_scale, unsigned char *gray) {
    switch (frames.type) {
        case PHAZE_UINT8:
            return background_gray_of<uint8_t>(frames, phase, modulation, offsets, full_scale,
                                               gray);
        case PHAZE_UINT16:
            return background_gray_of<uint16_t>(frames, phase, modulation, offsets, full_scale,
                                                gray);
        case PHAZE_FLOAT32:
            return background_gray_of<float>(frames, phase, modulation, offsets, full_scale, gray);
        default:
            return background_gray_of<double>(frames, phase, modulation, offsets, full_scale, gray);
    }
}

}  // namespace phaze_internal
