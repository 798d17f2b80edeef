// Three frames of samples as the engines read them, and the one way they are
// walked: pixel after pixel, row after row, each sample as a double.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum sample_type { SAMPLES_U8, SAMPLES_U16, SAMPLES_F32, SAMPLES_F64 };

struct sample_frames {
    const void *frame[3];  // the first sample of each frame
    sample_type type;
    int width, height;
    size_t row_stride;  // bytes from one row to the next, the same in all three
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
