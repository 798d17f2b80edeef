// The frames' samples as the engines read them, and the ways they are walked:
// three frames pixel after pixel (the three-frame method), any number a block
// of pixels at a time; row after row, each sample as a double.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace phaze_internal {

enum sample_type { SAMPLES_U8, SAMPLES_U16, SAMPLES_F32, SAMPLES_F64 };

constexpr int MAX_FRAMES = 32;

struct sample_frames {
    const void *frame[MAX_FRAMES];  // the first sample of each frame
    sample_type type;
    int width, height;
    size_t row_stride;  // bytes from one row to the next, the same in all frames
    int count = 3;      // frames
};

// The thresholds of the mask, in the samples' units.
struct quality_limits {
    double min_modulation, saturation;
};

// Calls visit(k, x, y, z) for the pixels first to first + count - 1, k counting
// from 0, with the three frames' samples; one row segment at a time.
template <typename Sample, typename Visit>
inline void visit_samples(const sample_frames &f, long long first, long long count, Visit visit) {
    long long row = first / f.width, column = first % f.width, k = 0;
    while (k < count) {
        const long long run = f.width - column < count - k ? f.width - column : count - k;
        const size_t offset = (size_t)row * f.row_stride;
        const Sample *a = (const Sample *)((const char *)f.frame[0] + offset) + column;
        const Sample *b = (const Sample *)((const char *)f.frame[1] + offset) + column;
        const Sample *c = (const Sample *)((const char *)f.frame[2] + offset) + column;
        for (long long j = 0; j < run; j++) visit(k + j, (double)a[j], (double)b[j], (double)c[j]);
        k += run;
        row++;
        column = 0;
    }
}

template <typename Visit>
inline void visit_pixels(const sample_frames &f, long long first, long long count, Visit visit) {
    switch (f.type) {
        case SAMPLES_U8: visit_samples<uint8_t>(f, first, count, visit); break;
        case SAMPLES_U16: visit_samples<uint16_t>(f, first, count, visit); break;
        case SAMPLES_F32: visit_samples<float>(f, first, count, visit); break;
        case SAMPLES_F64: visit_samples<double>(f, first, count, visit); break;
    }
}

// Frame k's samples of the pixels first to first + n - 1 into to[0 .. n - 1].
template <typename Sample>
inline void load_frame_samples(const sample_frames &f, int k, long long first, int n, double *to) {
    long long row = first / f.width, column = first % f.width;
    for (int j = 0; j < n;) {
        const int run = (int)(f.width - column < n - j ? f.width - column : n - j);
        const Sample *from =
            (const Sample *)((const char *)f.frame[k] + (size_t)row * f.row_stride) + column;
        for (int i = 0; i < run; i++) to[j + i] = (double)from[i];
        j += run;
        row++;
        column = 0;
    }
}

// Every frame's samples of n pixels from first: frame k's at to[k * stride].
inline void load_block(const sample_frames &f, long long first, int n, double *to, int stride) {
    for (int k = 0; k < f.count; k++) switch (f.type) {
            case SAMPLES_U8: load_frame_samples<uint8_t>(f, k, first, n, to + k * stride); break;
            case SAMPLES_U16: load_frame_samples<uint16_t>(f, k, first, n, to + k * stride); break;
            case SAMPLES_F32: load_frame_samples<float>(f, k, first, n, to + k * stride); break;
            case SAMPLES_F64: load_frame_samples<double>(f, k, first, n, to + k * stride); break;
        }
}

}  // namespace phaze_internal
