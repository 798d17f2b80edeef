#include "shared/quantise_phase.h"

#include <string.h>

// The bytes of levels a hair below and above phase * 255 / 2 pi, from products
// (quantise_phase's quotient costs as much as all the rest): its level lies
// between them, so where both give the same byte, so does it.
static inline void bytes_of_product(const double *phase, size_t n, double per_radian,
                                    unsigned char *__restrict to) {
    for (size_t i = 0; i < n; i++) {
        const double level = phase[i] * per_radian;
        const bool within = (level >= 0) & (level < 256);
        to[i] = (unsigned char)(int)(within ? level : 0.0);
    }
}

// Chunk by chunk, while its phases are in the cache; a chunk where the two
// bytes differ anywhere (a level within 1e-12 of a whole number) or with a
// phase beyond a turn goes through quantise_phase. Each loop has one width, so
// that all run in vector registers. NaN gives 0 every way.
__attribute__((target_clones("avx2", "default"))) void quantise_phases(
    const double *phase, size_t n, unsigned char *__restrict to) {
    const double per_radian = 255.0 / 6.283185307179586;
    const size_t CHUNK = 2048;
    unsigned char above[CHUNK];
    for (size_t start = 0; start < n; start += CHUNK) {
        const size_t count = n - start < CHUNK ? n - start : CHUNK;
        const double *p = phase + start;
        bytes_of_product(p, count, per_radian * (1 - 1e-12), to + start);
        bytes_of_product(p, count, per_radian * (1 + 1e-12), above);
        int beyond = 0;
        for (size_t i = 0; i < count; i++) beyond |= (p[i] < 0) | (p[i] > 6.3);
        if (beyond || memcmp(to + start, above, count) != 0)
            for (size_t i = 0; i < count; i++) to[start + i] = quantise_phase(p[i]);
    }
}
